// Timer against a fake tick counter.
#include "app/timer.h"

#include <gtest/gtest.h>

namespace {

Uint32 fake_now = 0;
Uint32 fake_clock() {
    return fake_now;
}

struct FakeClock {
    explicit FakeClock(Uint32 start) {
        fake_now = start;
        timer_clock = fake_clock;
    }
    ~FakeClock() { timer_clock = SDL_GetTicks; }
};

} // namespace

TEST(Timer, StopwatchScenarios) {
    // Each row: a script of (advance the clock by ms, then apply op), and get_ticks() after it.
    enum Op { none, start, stop, pause, unpause };
    struct Step {
        Uint32 advance;
        Op op;
        int ticks;
        bool started;
        bool paused;
    };
    const struct {
        const char* label;
        Uint32 origin;
        std::vector<Step> steps;
    } rows[] = {
        {"never started reports 0",
         5000,
         {{0, none, 0, false, false}, {700, none, 0, false, false}}},
        {"running counts from start",
         1000,
         {{0, start, 0, true, false}, {16, none, 16, true, false}, {984, none, 1000, true, false}}},
        {"pause freezes however long it lasts",
         0,
         {{0, start, 0, true, false}, {40, pause, 40, true, true}, {100000, none, 40, true, true}}},
        {"unpause continues from the frozen value",
         200,
         {{0, start, 0, true, false},
          {40, pause, 40, true, true},
          {500, unpause, 40, true, false},
          {10, none, 50, true, false}}},
        {"pause before start does nothing", 0, {{5, pause, 0, false, false}}},
        {"unpause while running does nothing",
         0,
         {{0, start, 0, true, false}, {30, unpause, 30, true, false}}},
        {"stop reports 0 and clears pause",
         0,
         {{0, start, 0, true, false}, {30, pause, 30, true, true}, {5, stop, 0, false, false}}},
        {"restart resets the count",
         0,
         {{0, start, 0, true, false}, {30, start, 0, true, false}, {12, none, 12, true, false}}},
        {"elapsed survives the tick counter wrapping",
         0xFFFFFFF0u,
         {{0, start, 0, true, false}, {0x20, none, 0x20, true, false}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        FakeClock clock(row.origin);
        Timer timer;
        for (const Step& s : row.steps) {
            fake_now += s.advance;
            switch (s.op) {
            case start:
                timer.start();
                break;
            case stop:
                timer.stop();
                break;
            case pause:
                timer.pause();
                break;
            case unpause:
                timer.unpause();
                break;
            case none:
                break;
            }
            EXPECT_EQ(s.ticks, timer.get_ticks());
            EXPECT_EQ(s.started, timer.is_started());
            EXPECT_EQ(s.paused, timer.is_paused());
        }
    }
}
