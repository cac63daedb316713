// Millisecond stopwatch over SDL's tick counter, used by the frame loop to cap frames and to
// scale movement by the real time that has passed.
#pragma once

#include <SDL.h>

// Tick source every Timer reads: SDL_GetTicks in the game, a fake clock in tests.
extern Uint32 (*timer_clock)();

class Timer {
  public:
    Timer();
    void start();
    void stop();
    void pause();
    void unpause();
    // Elapsed ms: frozen while paused, 0 when not started.
    int get_ticks();
    bool is_started();
    bool is_paused();

  private:
    int startTicks;
    int pausedTicks;
    bool paused;
    bool started;
};
