// The window's size and the picture's place in it, from the settings and what the desktop says.
#include "app/window_scale.h"

#include <gtest/gtest.h>

#include <vector>

TEST(WindowScale, DesktopScaleFromDotsPerInch) {
    const int rows[][2] = {{0, 0},   {-96, 0}, {1, 1},   {120, 1}, {143, 1},
                           {144, 2}, {192, 2}, {240, 3}, {288, 3}, {384, 4}};
    for (const auto& r : rows) {
        EXPECT_EQ(r[1], scale_for_dpi(r[0])) << r[0] << " dpi";
    }
}

TEST(WindowScale, PlanTable) {
    // Size, usable area (less a panel), dots per inch; 0 is what the desktop does not say.
    const Desktop none, hd{1920, 1080, 1920, 1040, 96}, hd_silent{1920, 1080, 1920, 1040, 0},
        hd_200{1920, 1080, 1920, 1040, 192}, small_300{1024, 768, 1024, 768, 288};
    const struct {
        int width, height, scale_setting; // screen_scale: 0 is auto
        bool full_screen;
        Desktop desktop;
        WindowPlan want; // game w, h; window w, h; scale; x, y; full screen; by auto
    } rows[] = {
        {640, 480, 1, false, hd, {640, 480, 640, 480, 1, 0, 0, false, false}},
        {320, 240, 8, false, none, {320, 240, 2560, 1920, 8, 0, 0, false, false}},
        {640, 480, 0, false, hd, {640, 480, 640, 480, 1, 0, 0, false, true}},
        {640, 480, 0, false, hd_200, {640, 480, 1280, 960, 2, 0, 0, false, true}},
        {640, 480, 0, false, small_300, {640, 480, 640, 480, 1, 0, 0, false, true}},
        {540, 530, 0, false, hd_200, {540, 530, 540, 530, 1, 0, 0, false, true}}, // the panel
        {640, 480, 0, false, hd_silent, {640, 480, 1280, 960, 2, 0, 0, false, true}},
        {640, 480, 0, false, none, {640, 480, 640, 480, 1, 0, 0, false, true}},
        // A size of 0 (the desktop's): SDL's at scale 1, else the desktop's by the scale.
        {0, 0, 1, false, hd, {0, 0, 0, 0, 1, 0, 0, false, false}},
        {0, 480, 2, false, hd, {960, 480, 1920, 960, 2, 0, 0, false, false}},
        {0, 480, 0, false, hd_200, {960, 480, 1920, 960, 2, 0, 0, false, true}},
        {0, 0, 2, false, none, {0, 0, 0, 0, 1, 0, 0, false, false}},
        {4000, 300, 5, false, hd, {4000, 300, 4000, 300, 1, 0, 0, false, false}}, // SDL refuses
        // Full screen: the desktop's mode, the largest scale that fits, centred; else as before.
        {640, 480, 1, true, hd, {640, 480, 1920, 1080, 2, 320, 60, true, false}},
        {640, 480, 4, true, hd, {640, 480, 1920, 1080, 2, 320, 60, true, false}},
        {1000, 700, 1, true, hd, {1000, 700, 1920, 1080, 1, 460, 190, true, false}},
        {2000, 1000, 1, true, hd, {2000, 1000, 2000, 1000, 1, 0, 0, true, false}},
        {640, 480, 1, true, none, {640, 480, 640, 480, 1, 0, 0, true, false}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &r - rows);
        const WindowPlan got =
            plan_window(r.width, r.height, 32, r.scale_setting, r.full_screen, r.desktop);
        const auto fields = [](const WindowPlan& p) {
            return std::vector<int>{
                p.game_width, p.game_height, p.window_width, p.window_height, p.scale,
                p.x,          p.y,           p.full_screen,  p.chosen_by_auto};
        };
        EXPECT_EQ(fields(r.want), fields(got));
    }
}
