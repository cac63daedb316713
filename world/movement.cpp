#include "world/movement.h"

#include <cmath>

int truncate_to_int(float value) {
    // Beyond +-2^31 (or NaN) a plain cast is undefined; huge maps from config.ini can get there.
    if (!(value > -2147483648.0f)) {
        return value != value ? 0 : INT32_MIN;
    }
    if (value >= 2147483648.0f) {
        return INT32_MAX;
    }
    return static_cast<int>(value);
}

void step_player(float& x, float& y, HeldDirections keys, std::uint32_t delta_ms, int map_width,
                 int map_height) {
    const float step = delta_ms / 1000.0f * player_speed;
    if (keys.up) {
        y -= step;
        if (y < 0) {
            y = 0;
        }
    }
    if (keys.down) {
        y += step;
        if (y + player_size > map_height) {
            y = static_cast<float>(map_height - player_size);
        }
    }
    if (keys.left) {
        x -= step;
        if (x < 0) {
            x = 0;
        }
    }
    if (keys.right) {
        x += step;
        if (x + player_size > map_width) {
            x = static_cast<float>(map_width - player_size);
        }
    }
}

namespace {

// One axis of the camera: centre on the sprite, clamp to 0 first and to the map second.
std::int16_t camera_axis(float position, int screen_size, int map_size, std::uint16_t view) {
    auto axis =
        static_cast<std::int16_t>(truncate_to_int(position + player_half - (screen_size / 2)));
    if (axis < 0) {
        axis = 0;
    }
    const long long far_edge = static_cast<long long>(map_size) - view; // no overflow near INT_MIN
    if (axis > far_edge) {
        axis = static_cast<std::int16_t>(far_edge);
    }
    return axis;
}

} // namespace

CameraOrigin camera_origin(float x, float y, int screen_width, int screen_height, int map_width,
                           int map_height, std::uint16_t view_w, std::uint16_t view_h) {
    return {camera_axis(x, screen_width, map_width, view_w),
            camera_axis(y, screen_height, map_height, view_h)};
}

ScreenPoint label_position(int px, int py, int label_w, int label_h, int camera_x, int camera_y) {
    return {px - label_w / 2 - camera_x + player_half, py - label_h / 2 - camera_y - player_half};
}
