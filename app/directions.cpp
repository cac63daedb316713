#include "app/directions.h"

#include <cmath>
#include <cstdlib>

HeldDirections direction_toward(long dx, long dy, long dead_radius) {
    const double x = static_cast<double>(dx);
    const double y = static_cast<double>(dy);
    const double dead = static_cast<double>(dead_radius);
    if (x * x + y * y < dead * dead) {
        return {};
    }
    // Within 22.5 degrees of an axis the way is that axis alone; between, the diagonal.
    const double tan_22_5 = std::sqrt(2.0) - 1.0;
    const bool vertical = std::fabs(y) > std::fabs(x) * tan_22_5;
    const bool horizontal = std::fabs(x) > std::fabs(y) * tan_22_5;
    HeldDirections held;
    held.up = vertical && dy < 0;
    held.down = vertical && dy > 0;
    held.left = horizontal && dx < 0;
    held.right = horizontal && dx > 0;
    return held;
}

HeldDirections stick_directions(int x_axis, int y_axis) {
    return direction_toward(x_axis, y_axis, stick_dead_zone);
}

HeldDirections hat_directions(unsigned bits) {
    HeldDirections held;
    held.up = (bits & hat_up) != 0;
    held.down = (bits & hat_down) != 0;
    held.left = (bits & hat_left) != 0;
    held.right = (bits & hat_right) != 0;
    return held;
}

HeldDirections touch_directions(int x, int y, int character_x, int character_y) {
    return direction_toward(static_cast<long>(x) - character_x, static_cast<long>(y) - character_y,
                            touch_dead_radius);
}
