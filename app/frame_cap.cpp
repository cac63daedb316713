#include "app/frame_cap.h"

#include <climits>

bool frame_cap_enabled(int enable_fps_cap, int frames_per_second) {
    return enable_fps_cap == 1 && frames_per_second != 0;
}

int frame_time_ms(int frames_per_second) {
    return 1000 / frames_per_second;
}

int frame_cap_delay(int frame_ms, int elapsed_ms) {
    // Both operands can be anywhere in int's range (the rate comes straight from config.ini).
    const long long left = static_cast<long long>(frame_ms) - elapsed_ms;
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}
