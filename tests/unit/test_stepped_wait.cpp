// The Windows link's waits (lookup, connect, room to send): they end at their limit, not before,
// and stop every step to let the window take its messages. On a clock of the test's own.
#include "windows/stepped_wait.h"

#include <gtest/gtest.h>

TEST(SteppedWait, LimitsAndStepsTable) {
    constexpr long long never = 1LL << 40;
    const struct {
        const char* label;
        int limit_ms, step_ms;
        long long ready_at;
        int want_result;
        long long want_end;
        int want_steps;
    } rows[] = {
        {"nothing comes: the whole limit, a step every 50 ms", 5000, 50, never, 0, 5000, 99},
        {"it comes: at once", 5000, 50, 120, 1, 120, 2},
        {"the last slice is what is left", 130, 50, never, 0, 130, 2},
        {"no stepping: one wait", 5000, 0, never, 0, 5000, 0},
        {"no limit: until it comes", -1, 50, 1000, 1, 1000, 19},
        {"a limit of 0: one look", 0, 50, never, 0, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        long long clock = 0;
        int steps = 0;
        const auto wait_once = [&](int slice) {
            const long long until = slice < 0 ? never : clock + slice;
            if (r.ready_at <= until) {
                clock = std::max(clock, r.ready_at);
                return 1;
            }
            clock = until;
            return 0;
        };
        const int result = wait_in_steps(
            r.limit_ms, r.step_ms, [&] { return clock; }, wait_once, [&] { ++steps; });
        EXPECT_EQ(r.want_result, result);
        EXPECT_EQ(r.want_end, clock);
        EXPECT_EQ(r.want_steps, steps);
    }
}
