// The window's size and the picture's place in it, from the settings and what the desktop says.
#include "app/window_scale.h"

#include <gtest/gtest.h>

TEST(WindowScale, DesktopScaleFromDotsPerInch) {
    const struct {
        int dpi;
        int scale;
    } rows[] = {{0, 0},   {-96, 0}, {1, 1},   {96, 1},  {120, 1}, {143, 1},
                {144, 2}, {168, 2}, {192, 2}, {240, 3}, {288, 3}, {384, 4}};
    for (const auto& r : rows) {
        EXPECT_EQ(r.scale, scale_for_dpi(r.dpi)) << r.dpi << " dpi";
    }
}

TEST(WindowScale, PlanTable) {
    const Desktop none;
    Desktop hd; // 1920 x 1080 with a panel, 96 dpi
    hd.width = 1920;
    hd.height = 1080;
    hd.usable_width = 1920;
    hd.usable_height = 1040;
    hd.dots_per_inch = 96;
    Desktop hd_silent = hd; // says nothing of its scale
    hd_silent.dots_per_inch = 0;
    Desktop hd_200 = hd;
    hd_200.dots_per_inch = 192;
    Desktop uhd_300 = hd; // 3840 x 2160 at 300 %
    uhd_300.width = uhd_300.usable_width = 3840;
    uhd_300.height = uhd_300.usable_height = 2160;
    uhd_300.dots_per_inch = 288;
    Desktop small_300 = hd_200; // a high scale on a desktop too small for it
    small_300.width = small_300.usable_width = 1024;
    small_300.height = small_300.usable_height = 768;
    small_300.dots_per_inch = 288;

    const struct {
        struct {
            int width, height, scale_setting; // screen_scale: 0 is auto
            bool full_screen;
        } set;
        Desktop desktop;
        WindowPlan want; // game w, h; window w, h; scale; x, y; full screen; by auto
    } rows[] = {
        // scale 1 is the game's own window
        {{640, 480, 1, false}, hd, {640, 480, 640, 480, 1, 0, 0, false, false}},
        // scale 1 on a desktop that says nothing
        {{640, 480, 1, false}, none, {640, 480, 640, 480, 1, 0, 0, false, false}},
        // scale 3
        {{640, 480, 3, false}, hd, {640, 480, 1920, 1440, 3, 0, 0, false, false}},
        // a scale is honoured where the desktop says nothing
        {{320, 240, 8, false}, none, {320, 240, 2560, 1920, 8, 0, 0, false, false}},
        // auto: the desktop's 96 dpi
        {{640, 480, 0, false}, hd, {640, 480, 640, 480, 1, 0, 0, false, true}},
        // auto: the desktop's 192 dpi
        {{640, 480, 0, false}, hd_200, {640, 480, 1280, 960, 2, 0, 0, false, true}},
        // auto: 300 % fits a 4K desktop
        {{640, 480, 0, false}, uhd_300, {640, 480, 1920, 1440, 3, 0, 0, false, true}},
        // auto: no more than the usable area holds
        {{640, 480, 0, false}, small_300, {640, 480, 640, 480, 1, 0, 0, false, true}},
        // auto: the panel counts
        {{540, 530, 0, false}, hd_200, {540, 530, 540, 530, 1, 0, 0, false, true}},
        // auto without a scale: the largest that fits
        {{640, 480, 0, false}, hd_silent, {640, 480, 1280, 960, 2, 0, 0, false, true}},
        // auto knowing nothing
        {{640, 480, 0, false}, none, {640, 480, 640, 480, 1, 0, 0, false, true}},
        // size 0 at scale 1 stays SDL's
        {{0, 0, 1, false}, hd, {0, 0, 0, 0, 1, 0, 0, false, false}},
        // size 0 at scale 2: half the desktop, enlarged to all of it
        {{0, 480, 2, false}, hd, {960, 480, 1920, 960, 2, 0, 0, false, false}},
        // size 0 on a desktop of unknown size: scale 1
        {{0, 0, 2, false}, none, {0, 0, 0, 0, 1, 0, 0, false, false}},
        // a window SDL would refuse: scale 1
        {{4000, 300, 5, false}, hd, {4000, 300, 4000, 300, 1, 0, 0, false, false}},
        // full screen: the desktop's mode, centred at the largest scale
        {{640, 480, 1, true}, hd, {640, 480, 1920, 1080, 2, 320, 60, true, false}},
        // full screen ignores the window's scale
        {{640, 480, 4, true}, hd, {640, 480, 1920, 1080, 2, 320, 60, true, false}},
        // full screen at the desktop's size
        {{1920, 1080, 1, true}, hd, {1920, 1080, 1920, 1080, 1, 0, 0, true, false}},
        // full screen of an odd size
        {{1000, 700, 1, true}, hd, {1000, 700, 1920, 1080, 1, 460, 190, true, false}},
        // full screen larger than the desktop: the old mode change
        {{2000, 1000, 1, true}, hd, {2000, 1000, 2000, 1000, 1, 0, 0, true, false}},
        // full screen on a desktop of unknown size: the old mode change
        {{640, 480, 1, true}, none, {640, 480, 640, 480, 1, 0, 0, true, false}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &r - rows);
        const WindowPlan got = plan_window(r.set.width, r.set.height, 32, r.set.scale_setting,
                                           r.set.full_screen, r.desktop);
        EXPECT_EQ(r.want.game_width, got.game_width);
        EXPECT_EQ(r.want.game_height, got.game_height);
        EXPECT_EQ(r.want.window_width, got.window_width);
        EXPECT_EQ(r.want.window_height, got.window_height);
        EXPECT_EQ(r.want.scale, got.scale);
        EXPECT_EQ(r.want.x, got.x);
        EXPECT_EQ(r.want.y, got.y);
        EXPECT_EQ(r.want.full_screen, got.full_screen);
        EXPECT_EQ(r.want.chosen_by_auto, got.chosen_by_auto);
    }
}
