// Keys and pads on the desktop's SDL 1.2 (classic, sdl12-compat, and the Windows build's): its key
// numbers are SDL 1.2's own, and a pad's D-pad is a hat.

#include "app/directions.h"
#include "app/input_edge.h"

int keyboard_index(int key) {
    return key;
}

int keyboard_size() {
    return SDLK_LAST;
}

HeldDirections pad_directions(SDL_Joystick* pad) {
    // The pad's events are switched off (app/input.cpp), so SDL's event pump no longer reads it.
    SDL_JoystickUpdate();
    HeldDirections held;
    if (SDL_JoystickNumHats(pad) > 0) {
        held = hat_directions(SDL_JoystickGetHat(pad, 0));
    }
    if (SDL_JoystickNumAxes(pad) >= 2) {
        held = held | stick_directions(SDL_JoystickGetAxis(pad, 0), SDL_JoystickGetAxis(pad, 1));
    }
    return held;
}

// SDL 1.2 counts the pads once, when its joystick part starts; so does sdl12-compat.
bool pads_can_appear() {
    return false;
}
