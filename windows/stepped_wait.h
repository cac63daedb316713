// A wait that ends at its limit and stops every so often to let the program run (the window
// takes its messages there). Free of Winsock and of the clock, so a table can check it.
#pragma once

#include <algorithm>

// Waits up to ms (forever when negative) with wait_once(slice), which waits up to slice ms (-1:
// forever) and returns 0 when what it waits for did not come, stopping every step_ms (never
// when 0) to call step. now() is the time in ms. Returns what wait_once returned last.
template <typename Now, typename WaitOnce, typename Step>
int wait_in_steps(int ms, int step_ms, Now now, WaitOnce wait_once, Step step) {
    const long long end = now() + std::max(ms, 0);
    for (;;) {
        int slice = ms < 0 ? -1 : static_cast<int>(std::max(end - now(), 0LL));
        if (step_ms > 0 && (slice < 0 || slice > step_ms)) {
            slice = step_ms;
        }
        const int result = wait_once(slice);
        if (result != 0 || (ms >= 0 && now() >= end)) {
            return result;
        }
        if (step_ms > 0) {
            step();
        }
    }
}
