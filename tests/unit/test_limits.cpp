// Settings that the libraries would accept and then crash or hang on.
#include "app/video_limits.h"

#include <gtest/gtest.h>

#include <climits>

TEST(VideoLimits, ModesTable) {
    const struct {
        int w, h, bpp;
        bool ok;
    } rows[] = {
        {640, 480, 32, true},      {0, 0, 32, true},         {0, 480, 0, true},
        {16383, 100, 32, true},    {16384, 100, 32, false},  {16384, 100, 8, false},
        {100, 65535, 32, true},    {100, 65536, 32, false},  {65536, 100, 8, false},
        {-1, 480, 32, false},      {640, -1, 32, false},     {INT_MAX, INT_MAX, 32, false},
        {INT_MIN, 480, 32, false}, {16383, 32767, 32, true}, {16383, 65535, 32, false},
        {640, 480, 0, true},       {640, 480, 8, true},      {640, 480, 16, true},
        {640, 480, 24, true},      {640, 480, 15, false},    {640, 480, 7, false},
        {640, 480, 33, false},     {640, 480, -32, false},   {640, 480, INT_MAX, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.ok, video_mode_acceptable(r.w, r.h, r.bpp))
            << r.w << "x" << r.h << "@" << r.bpp;
    }
}

TEST(AudioLimits, RateInRangeOrDefaultOtherValuesNotNegative) {
    const struct {
        int freq, channels, chunk;
        bool ok;
    } rows[] = {
        {44100, 2, 1024, true},
        {44100, 1, 1, true},
        {8000, 2, 1024, true},
        {7999, 2, 1024, false},
        {192000, 2, 1024, true},
        {192001, 2, 1024, false},
        {1, 1, 1, false},
        {INT_MAX, 2, 1024, false},
        {0, 2, 1024, true},
        {0, 0, 0, true},
        {-1, 2, 1024, false},
        {44100, 0, 1024, true},
        {44100, -2, 1024, false},
        {44100, 2, 0, true},
        {44100, 2, -1, false},
        {INT_MIN, INT_MIN, INT_MIN, false},
        {44100, INT_MAX, INT_MAX, true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.ok, audio_settings_acceptable(r.freq, r.channels, r.chunk))
            << r.freq << " " << r.channels << " " << r.chunk;
    }
}
