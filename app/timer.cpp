#include "app/timer.h"

Uint32 (*timer_clock)() = SDL_GetTicks;

namespace {
// SDL's counter is unsigned and wraps after 49 days; the fields are signed like the tick
// arithmetic around them, and the unsigned subtraction below keeps differences right across a wrap.
int now() {
    return static_cast<int>(timer_clock());
}
int since(int then) {
    return static_cast<int>(static_cast<Uint32>(now()) - static_cast<Uint32>(then));
}
} // namespace

Timer::Timer() : startTicks(0), pausedTicks(0), paused(false), started(false) {}

void Timer::start() {
    started = true;
    paused = false;
    startTicks = now();
}

void Timer::stop() {
    started = false;
    paused = false;
}

void Timer::pause() {
    if (started && !paused) {
        paused = true;
        pausedTicks = since(startTicks);
    }
}

void Timer::unpause() {
    if (paused) {
        paused = false;
        startTicks =
            static_cast<int>(static_cast<Uint32>(now()) - static_cast<Uint32>(pausedTicks));
        pausedTicks = 0;
    }
}

int Timer::get_ticks() {
    if (!started) {
        return 0;
    }
    return paused ? pausedTicks : since(startTicks);
}

bool Timer::is_started() {
    return started;
}

bool Timer::is_paused() {
    return paused;
}
