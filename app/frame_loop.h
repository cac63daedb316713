// The running game: one pass per frame from the end of start-up until the window is closed.
#pragma once

#include <SDL.h>

class Player;

// The event record every pass drains the queue into; owned by the frame loop, lives for the
// whole process.
extern SDL_Event event;

enum class LoopEnd {
    quit,         // the window was closed: say goodbye and clean up
    music_failed, // the music could not be started: the process ends with status 1
};

// Runs passes until a quit request has been handled by a complete pass, or the music fails.
LoopEnd run_frame_loop(Player& player);
