// The frame cap's arithmetic: when it is on, the frame length, and the sleep after a pass.
#include "app/frame_cap.h"

#include <gtest/gtest.h>

#include <climits>

TEST(FrameCap, RatesTable) {
    const struct {
        int enable;
        int fps;
        bool capped;
        int frame_ms; // only meaningful when capped
    } rows[] = {
        {1, 60, true, 16},     {1, 1000, true, 1}, {1, 2000, true, 0}, {1, -30, true, -33},
        {1, 0, false, 0},      {2, 60, false, 0},  {0, 60, false, 0},  {-1, 60, false, 0},
        {1, INT_MIN, true, 0}, {1, 1, true, 1000},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "enable=" << r.enable << " fps=" << r.fps);
        EXPECT_EQ(r.capped, frame_cap_enabled(r.enable, r.fps));
        if (r.capped) {
            EXPECT_EQ(r.frame_ms, frame_time_ms(r.fps));
        }
    }
}

TEST(FrameCap, DelayTable) {
    const struct {
        int frame_ms;
        int elapsed;
        int sleep;
    } rows[] = {
        {16, 5, 11},
        {16, 0, 16},
        {16, 15, 1},
        {16, 16, 0},
        {16, 40, 0},
        {1, 0, 1},
        {0, 0, 0},
        {-33, 0, 0},
        {-33, 2, 0},
        {INT_MAX, -1, INT_MAX},
        {INT_MIN, INT_MAX, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.frame_ms << " ms frame, " << r.elapsed << " ms spent");
        EXPECT_EQ(r.sleep, frame_cap_delay(r.frame_ms, r.elapsed));
    }
}
