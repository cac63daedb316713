#include "app/window_scale.h"

#include "app/video_limits.h"

#include <algorithm>
#include <climits>

namespace {

constexpr int dpi_per_scale = 96;

int scale_for_setting(int width, int height, int scale_setting, const Desktop& desktop) {
    if (scale_setting != auto_screen_scale) {
        return scale_setting;
    }
    const int fits =
        largest_scale_that_fits(width, height, desktop.usable_width, desktop.usable_height);
    const int own = scale_for_dpi(desktop.dots_per_inch);
    if (own == 0) {
        return std::max(1, fits);
    }
    return fits == 0 ? own : std::max(1, std::min(own, fits));
}

} // namespace

int scale_for_dpi(int dots_per_inch) {
    if (dots_per_inch <= 0) {
        return 0;
    }
    return std::max(1, (dots_per_inch + dpi_per_scale / 2) / dpi_per_scale);
}

int largest_scale_that_fits(int width, int height, int room_width, int room_height) {
    if (width <= 0 || height <= 0 || room_width <= 0 || room_height <= 0) {
        return 0;
    }
    return std::min({max_screen_scale, room_width / width, room_height / height});
}

WindowPlan plan_window(int width, int height, int bpp, int scale_setting, bool full_screen,
                       const Desktop& desktop) {
    WindowPlan plan{};
    plan.full_screen = full_screen;
    plan.chosen_by_auto = scale_setting == auto_screen_scale;
    plan.scale = scale_for_setting(width, height, scale_setting, desktop);
    plan.game_width = width;
    plan.game_height = height;
    if (plan.scale > 1 && (width == 0 || height == 0)) {
        if (desktop.width <= 0 || desktop.height <= 0) {
            plan.scale = 1; // SDL still gives a window of the desktop's size
        } else {
            plan.game_width = width == 0 ? desktop.width / plan.scale : width;
            plan.game_height = height == 0 ? desktop.height / plan.scale : height;
        }
    }

    if (full_screen) {
        const int fits = largest_scale_that_fits(plan.game_width, plan.game_height, desktop.width,
                                                 desktop.height);
        if (fits == 0) {
            // The old way: a mode of the game's size, which the display then stretches.
            plan.scale = 1;
            plan.window_width = plan.game_width;
            plan.window_height = plan.game_height;
            return plan;
        }
        plan.scale = fits;
        plan.window_width = desktop.width;
        plan.window_height = desktop.height;
        plan.x = (desktop.width - plan.game_width * fits) / 2;
        plan.y = (desktop.height - plan.game_height * fits) / 2;
        return plan;
    }

    const auto scaled = [&](int side) {
        return static_cast<int>(std::min<long long>(INT_MAX, 1LL * side * plan.scale));
    };
    if (plan.scale > 1 &&
        !video_mode_acceptable(scaled(plan.game_width), scaled(plan.game_height), bpp)) {
        plan.scale = 1;
    }
    plan.window_width = scaled(plan.game_width);
    plan.window_height = scaled(plan.game_height);
    return plan;
}
