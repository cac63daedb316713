// Settings that the libraries would accept and then crash or hang on.
#include "app/video_limits.h"
#include "net/link_bounds.h"
#include "net/server_address.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

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

// glibc's defaults (5 s, 2 tries) held a lookup 10 s with one silent name server and 28 s with
// three; the bounded settings 4 s and 5 s (timed against silent servers in a namespace).
TEST(ResolverLimits, BoundedTimingTable) {
    const struct {
        ResolverTiming current;
        int servers;
        ResolverTiming bounded;
        int default_wait_s, bounded_wait_s;
    } rows[] = {
        {{5, 2}, 1, {2, 2}, 10, 4}, {{5, 2}, 2, {2, 1}, 20, 4},   {{5, 2}, 3, {2, 1}, 28, 5},
        {{1, 5}, 1, {1, 5}, 5, 5},  {{30, 5}, 1, {2, 2}, 150, 4}, {{3, 1}, 3, {2, 1}, 9, 5},
        {{1, 6}, 1, {1, 5}, 6, 5},  {{1, 5}, 2, {1, 2}, 10, 4},   {{3, 5}, 1, {2, 2}, 15, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.current.retrans << " s x " << r.current.retry
                                        << " with " << r.servers << " servers");
        EXPECT_EQ(r.default_wait_s, resolver_wait_s(r.current, r.servers));
        const ResolverTiming bounded = bounded_resolver_timing(r.current, r.servers);
        EXPECT_EQ(r.bounded.retrans, bounded.retrans);
        EXPECT_EQ(r.bounded.retry, bounded.retry);
        EXPECT_EQ(r.bounded_wait_s, resolver_wait_s(bounded, r.servers));
        EXPECT_LE(resolver_wait_s(bounded, r.servers), lookup_deadline_s);
    }
}

// A send may wait what is left of the nearer of its own limit and its stall's, across the wrap
// of SDL's 32-bit tick counter; a stall ends after a quiet stall_limit_ms.
TEST(SendLimits, WaitLeftTable) {
    constexpr std::uint32_t wrap = 0xFFFFFFFFu;
    const struct {
        std::uint32_t stall_began, wait_began, now;
        int left_ms;
        WaitLimit limit;
    } rows[] = {
        {1000, 1000, 1000, 250, WaitLimit::send},     {1000, 1000, 1100, 150, WaitLimit::send},
        {1000, 1000, 1300, 0, WaitLimit::send},       {1000, 1800, 1800, 200, WaitLimit::stall},
        {1000, 1900, 2000, 0, WaitLimit::stall},      {1000, 1900, 5000, 0, WaitLimit::stall},
        {wrap - 99, wrap, 100, 149, WaitLimit::send}, {wrap - 899, 50, 60, 40, WaitLimit::stall},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.stall_began << " " << r.wait_began << " " << r.now);
        const WaitLeft left = room_wait_left(r.stall_began, r.wait_began, r.now);
        EXPECT_EQ(r.left_ms, left.ms);
        EXPECT_EQ(r.limit, left.limit);
    }
    const struct {
        std::uint32_t last_wait, now;
        bool goes_on;
    } stalls[] = {
        {1000, 1000, true},     {1000, 1999, true},       {1000, 2000, false},
        {wrap - 10, 900, true}, {wrap - 10, 1000, false},
    };
    for (const auto& r : stalls) {
        EXPECT_EQ(r.goes_on, stall_goes_on(r.last_wait, r.now)) << r.last_wait << " " << r.now;
    }
}

// SDL_net listens instead of connecting on 0.0.0.0 and 255.255.255.255, whatever text or name gave
// them (tests/e2e/test_link.py has the rest); the text alone shows only IPv6 addresses.
TEST(ServerAddress, RefusedTable) {
    const std::pair<const char*, const char*> texts[] = {
        {"0:0::0", "0:0::0 is the unspecified address"},
        {"[FF0E::]", "FF0E:: is a multicast address"},
        {"::1", ""},
        {"127.0.0.1:1337", ""},
        {"0::]", ""},
    };
    for (const auto& [text, refused] : texts) {
        EXPECT_EQ(refused, server_text_refusal(text)) << text;
    }
    const std::pair<std::uint32_t, const char*> addresses[] = {
        {0, "0.0.0.0 is the unspecified address"},
        {0xFFFFFFFF, "255.255.255.255 is the broadcast address"},
        {0xEFFFFFFF, "239.255.255.255 is a multicast address"},
        {0xDFFFFFFF, ""},
        {0xF0000000, ""},
    };
    for (const auto& [address, refused] : addresses) {
        EXPECT_EQ(refused, server_address_refusal(address)) << std::hex << address;
    }
}

// Pauses double from 1 s to 30 s and the draw cuts each by up to a half; a server down for a
// while is tried at the pauses' ends, across the tick counter's wrap, and the log speaks of it
// once a minute at most.
TEST(RetryLimits, PausesAndScheduleTable) {
    const struct {
        int tries;
        double draw;
        int pause_ms;
    } pauses[] = {
        {0, 0.0, 500},   {0, 0.5, 750},    {1, 1.0, 2000}, {5, 0.0, 15000},
        {5, 1.0, 30000}, {40, 0.0, 15000}, {0, -3.0, 500}, {0, 7.0, 1000},
    };
    for (const auto& r : pauses) {
        EXPECT_EQ(r.pause_ms, retry_pause_ms(r.tries, r.draw)) << r.tries << " " << r.draw;
    }
    // Lost at start, the draw always 1, each try failing at once (up_for 0) or connecting and
    // lost again up_for ms later: the tries, and the moments the log speaks (the loss at 0, then
    // at most once a minute while the connections do not last).
    const struct {
        std::uint32_t start;
        std::uint32_t up_for;
        std::uint32_t until;
        std::vector<std::uint32_t> tries_at; // after start
        std::vector<std::uint32_t> said_at;
    } schedules[] = {
        {5, 0, 130000, {1000, 3000, 7000, 15000, 31000, 61000, 91000, 121000}, {0, 61000, 121000}},
        {0xFFFFFFFFu - 2500, 0, 50000, {1000, 3000, 7000, 15000, 31000}, {0}},
        {0, 100, 70000, {1000, 3100, 7200, 15300, 31400, 61500}, {0, 61600}},
        {0, 29999, 100000, {1000, 32999, 66998}, {0, 62998}},
        {0, 30000, 100000, {1000, 32000, 63000, 94000}, {0, 31000, 62000, 93000}},
    };
    for (const auto& s : schedules) {
        SCOPED_TRACE(testing::Message() << "lost at " << s.start << ", up for " << s.up_for);
        Retry retry;
        std::vector<std::uint32_t> tried;
        std::vector<std::uint32_t> said;
        bool up = true;
        std::uint32_t up_at = s.start - 100000; // a connection that had lasted
        std::uint32_t lost_at = 0;
        for (std::uint32_t t = 0; t <= s.until; ++t) {
            const std::uint32_t now = s.start + t;
            if (!up && retry_due(retry, now)) {
                tried.push_back(t);
                up = true;
                up_at = now;
                lost_at = t + s.up_for;
            }
            if (up && t == lost_at) { // up_for 0: the try fails as it is made
                up = false;
                if (retry_lost(retry, connection_held(up_at, now, retry_longest_pause_ms), now,
                               1.0)) {
                    said.push_back(t);
                }
            }
        }
        EXPECT_EQ(s.tries_at, tried);
        EXPECT_EQ(s.said_at, said);
    }
}
