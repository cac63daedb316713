// What differs between the platforms' SDL 1.2 in reading keys and pads; each platform's file
// (app/input_desktop.cpp, app/input_web.cpp) gives these to app/input.cpp.
#pragma once

#include "world/movement.h"

#include <SDL.h>

// Where SDL 1.2's key number (settings/controls.h) is found in SDL_GetKeyState's array on this
// SDL; -1 for a key it never reports.
int keyboard_index(int key);

// How many places SDL_GetKeyState's array has here.
int keyboard_size();

// The directions the pad's D-pad and left stick hold now.
HeldDirections pad_directions(SDL_Joystick* pad);

// Whether a pad plugged in after start can appear (SDL_NumJoysticks counts anew), so that the
// game keeps looking for one.
bool pads_can_appear();
