// Input as state: whatever the player holds (the keyboard by the [controls] bindings, the first
// gamepad's hat or D-pad and left stick, a finger on the browser's page) becomes one record of
// held directions once a pass, which the player steps by. This module also owns SDL's event
// filter, which keeps SDL 1.2's small queue for quit requests. How each platform's SDL numbers
// keys and shows a pad is in its edge file (input_desktop.cpp, input_web.cpp).
#pragma once

#include "world/movement.h"

// After SDL_Init and before the window opens: the event filter, the bindings (from settings) and
// the first gamepad, if one is there; a missing pad is not an error, and nothing is logged then.
void start_input();

// Closes the gamepad; clean_up calls it before SDL stops.
void stop_input();

// The directions held in this pass, read after the pass has drained SDL's events. The character's
// middle, in window pixels, is what a finger walks it toward.
HeldDirections held_directions(int character_x, int character_y);

// A finger on the picture at (x, y) in window pixels, or lifted (held false). The browser's page
// calls it (web/page_input.js, through input_web.cpp) as the finger goes down, moves and lifts.
void set_touch(bool held, int x, int y);
