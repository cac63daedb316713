// How a pad's stick and hat and a finger on the picture become held directions: each the nearest
// of the eight ways, or none. No SDL here: axes, hat bits and points are plain numbers, so a table
// checks every rule without a pad or a screen.
#pragma once

#include "world/movement.h"

// SDL reports a stick's axis from -32768 to 32767, y growing downward. Closer to the middle than a
// quarter of that, a stick rests: worn sticks never quite return to 0.
constexpr long stick_dead_zone = 8192;

// SDL 1.2's hat bits (SDL_HAT_UP ... SDL_HAT_LEFT).
constexpr unsigned hat_up = 1;
constexpr unsigned hat_right = 2;
constexpr unsigned hat_down = 4;
constexpr unsigned hat_left = 8;

// A finger this close to the character's middle (window pixels) has been reached: the character
// stops rather than step past it and back. More than a pass's step at 60 passes a second.
constexpr long touch_dead_radius = 8;

// The nearest of the eight ways from the origin toward (dx, dy), y growing downward, each way
// 45 degrees wide; none closer than dead_radius.
HeldDirections direction_toward(long dx, long dy, long dead_radius);

// A stick's two axes, as SDL reports them.
HeldDirections stick_directions(int x_axis, int y_axis);

// A hat's bits: each bit held is its way; a diagonal is two bits.
HeldDirections hat_directions(unsigned bits);

// A finger held at (x, y) in the window, the character's middle at (character_x, character_y).
HeldDirections touch_directions(int x, int y, int character_x, int character_y);
