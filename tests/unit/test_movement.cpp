// Movement, camera and label arithmetic of the world, in tables.
#include "world/movement.h"

#include <gtest/gtest.h>

namespace {
constexpr HeldDirections none{};
constexpr HeldDirections up{true, false, false, false};
constexpr HeldDirections down{false, true, false, false};
constexpr HeldDirections left{false, false, true, false};
constexpr HeldDirections right{false, false, false, true};
constexpr HeldDirections left_right{false, false, true, true};
constexpr HeldDirections up_down{true, true, false, false};
constexpr HeldDirections down_right{false, true, false, true};
} // namespace

TEST(Movement, OneStepTable) {
    const struct {
        const char* label;
        float x, y;
        HeldDirections keys;
        std::uint32_t ms;
        float want_x, want_y;
    } rows[] = {
        {"typical frame: right for 16 ms", 400, 300, right, 16, 402.048f, 300},
        {"left", 400, 300, left, 16, 397.952f, 300},
        {"up", 400, 300, up, 16, 400, 297.952f},
        {"down", 400, 300, down, 16, 400, 302.048f},
        {"no key", 400, 300, none, 16, 400, 300},
        {"zero delta moves nothing", 400, 300, down_right, 0, 400, 300},
        {"one second is 128 pixels", 400, 300, right, 1000, 528, 300},
        {"diagonal is the sum of both axes", 400, 300, down_right, 1000, 528, 428},
        {"left and right cancel", 400, 300, left_right, 16, 400, 300},
        {"up and down cancel", 400, 300, up_down, 16, 400, 300},
        {"at the left edge left clamps to 0, then right still moves", 1, 300, left_right, 16,
         2.048f, 300},
        {"at the top edge up clamps, then down moves", 0, 1, up_down, 16, 0, 2.048f},
        {"left bound", 1, 300, left, 1000, 0, 300},
        {"top bound", 400, 1, up, 1000, 400, 0},
        {"right bound: right edge on the map's edge", 1240, 300, right, 1000, 1248, 300},
        {"bottom bound", 400, 920, down, 1000, 400, 928},
        {"at the right edge right clamps back, then left moves", 1248, 300, left_right, 16, 1248,
         300},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        float x = r.x;
        float y = r.y;
        step_player(x, y, r.keys, r.ms, 1280, 960);
        EXPECT_FLOAT_EQ(r.want_x, x);
        EXPECT_FLOAT_EQ(r.want_y, y);
    }
}

TEST(Movement, SpeedDoesNotDependOnFrameRate) {
    float x_fast = 400;
    float y = 300;
    // 60 passes of a 60 Hz frame: 16 and 17 ms alternating, 1000 ms in all.
    std::uint32_t total = 0;
    for (int i = 0; i < 60; ++i) {
        const std::uint32_t ms = (i % 3 == 2) ? 16 : 17;
        total += ms;
        step_player(x_fast, y, right, ms, 1280, 960);
    }
    ASSERT_EQ(1000u, total);
    float x_slow = 400;
    step_player(x_slow, y, right, 1000, 1280, 960);
    EXPECT_NEAR(x_slow, x_fast, 0.01f);
    EXPECT_NEAR(528, x_fast, 0.01f);
}

TEST(Camera, OriginTable) {
    const struct {
        const char* label;
        float x, y;
        int screen_w, screen_h, map_w, map_h;
        int want_x, want_y;
    } rows[] = {
        {"start position", 400, 300, 640, 480, 1280, 960, 96, 76},
        {"typical frame truncates 98.048", 402.048f, 300, 640, 480, 1280, 960, 98, 76},
        {"top-left corner clamps to 0", 10, 10, 640, 480, 1280, 960, 0, 0},
        {"bottom-right corner clamps to the map", 1248, 928, 640, 480, 1280, 960, 640, 480},
        {"map smaller than the window hugs the far edge", 400, 300, 640, 480, 500, 400, -140, -80},
        {"map smaller than the window, player at origin", 0, 0, 640, 480, 500, 400, -140, -80},
        {"odd window halves with integer division", 400, 300, 641, 481, 1280, 960, 96, 76},
        {"truncation toward zero, not rounding", 400.99f, 300.99f, 640, 480, 1280, 960, 96, 76},
        {"16-bit truncation wraps a far position", 70000, 300, 640, 480, 100000, 960, 4160, 76},
        {"a wrap below zero then clamps to 0", 40000, 300, 640, 480, 100000, 960, 0, 76},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        const CameraOrigin c = camera_origin(r.x, r.y, r.screen_w, r.screen_h, r.map_w, r.map_h,
                                             static_cast<std::uint16_t>(r.screen_w),
                                             static_cast<std::uint16_t>(r.screen_h));
        EXPECT_EQ(r.want_x, c.x);
        EXPECT_EQ(r.want_y, c.y);
    }
}

TEST(LabelPosition, Table) {
    const struct {
        int px, py, w, h, cam_x, cam_y;
        int want_x, want_y;
    } rows[] = {
        {400, 300, 40, 14, 96, 76, 300, 201},
        {400, 300, 41, 15, 96, 76, 300, 201}, // odd sizes halve with integer division
        {0, 0, 40, 14, 0, 0, -4, -23},
        {400, 300, 0, 0, -140, -80, 556, 364},
    };
    for (const auto& r : rows) {
        const ScreenPoint p = label_position(r.px, r.py, r.w, r.h, r.cam_x, r.cam_y);
        EXPECT_EQ(r.want_x, p.x) << r.px << "," << r.py << " " << r.w << "x" << r.h;
        EXPECT_EQ(r.want_y, p.y) << r.px << "," << r.py << " " << r.w << "x" << r.h;
    }
}

TEST(Truncation, TowardZeroAndSaturating) {
    const struct {
        float in;
        int out;
    } rows[] = {{400.7f, 400},
                {-0.5f, 0},
                {-1.5f, -1},
                {1e20f, INT32_MAX},
                {-1e20f, INT32_MIN},
                {2147483648.0f, INT32_MAX},
                {-2147483648.0f, INT32_MIN}};
    for (const auto& r : rows) {
        EXPECT_EQ(r.out, truncate_to_int(r.in)) << r.in;
    }
}
