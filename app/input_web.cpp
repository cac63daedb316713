// Keys, pads and fingers in the browser. Emscripten's SDL numbers the keys that have no character
// as SDL 1.3 does (a scan code plus 1024), the browser shows a pad through the Gamepad API, whose
// "standard" layout has the D-pad as buttons 12 to 15 (no hats), and the page hands over the
// finger.

#include "app/directions.h"
#include "app/input.h"
#include "app/input_edge.h"

#include <emscripten.h>

namespace {

constexpr int scan = 1 << 10; // Emscripten's mark of a key numbered by its scan code

struct KeyPlace {
    int key;   // SDL 1.2's number (Emscripten's SDLK_ names are SDL 1.3's numbers)
    int index; // Emscripten's
};

// Where Emscripten's numbers differ from SDL 1.2's (library_sdl.js, keyCodes). Letters, digits,
// space, return, escape, backspace, tab, delete and most punctuation are the same in both.
const KeyPlace moved_keys[] = {
    {273, 82 | scan},
    {274, 81 | scan},
    {275, 79 | scan},
    {276, 80 | scan}, // arrows
    {277, 73 | scan},
    {278, 74 | scan},
    {279, 77 | scan},
    {280, 75 | scan}, // insert .. page up
    {281, 78 | scan},
    {256, 98 | scan},
    {266, 99 | scan},
    {267, 84 | scan}, // page down, [0], [.], [/]
    {268, 85 | scan},
    {269, 86 | scan},
    {270, 87 | scan},
    {271, 13}, // [*], [-], [+], enter
    {300, 83 | scan},
    {301, 57 | scan},
    {302, 145},
    {316, 316}, // numlock .. print screen
    {306, 224 | scan},
    {304, 225 | scan},
    {308, 226 | scan},
    {311, 227 | scan}, // left ctrl .. super
    {305, 228 | scan},
    {303, 229 | scan},
    {307, 230 | scan},
    {312, 231 | scan}, // right ctrl .. super
    {319, 101 | scan}, // menu
    // Chromium's key codes for ";", "=" and "-", which Emscripten passes on as they come.
    {59, 186},
    {61, 187},
    {45, 189},
};

constexpr int sdl12_kp1 = 257;
constexpr int sdl12_f1 = 282;
constexpr int sdl12_f13 = 294;

} // namespace

int keyboard_index(int key) {
    if (key >= sdl12_kp1 && key < sdl12_kp1 + 9) {
        return (89 + key - sdl12_kp1) | scan;
    }
    if (key >= sdl12_f1 && key < sdl12_f13) {
        return (58 + key - sdl12_f1) | scan;
    }
    if (key >= sdl12_f13 && key < sdl12_f13 + 3) {
        return (104 + key - sdl12_f13) | scan;
    }
    for (const KeyPlace& moved : moved_keys) {
        if (moved.key == key) {
            return moved.index;
        }
    }
    // The browser has no key that SDL 1.2 numbers above 255 and Emscripten does not move.
    return key < 256 ? key : -1;
}

int keyboard_size() {
    return 0x10000; // Emscripten's keyboard state array
}

HeldDirections pad_directions(SDL_Joystick* pad) {
    HeldDirections held;
    if (SDL_JoystickNumButtons(pad) > 15) {
        held.up = SDL_JoystickGetButton(pad, 12) != 0;
        held.down = SDL_JoystickGetButton(pad, 13) != 0;
        held.left = SDL_JoystickGetButton(pad, 14) != 0;
        held.right = SDL_JoystickGetButton(pad, 15) != 0;
    }
    if (SDL_JoystickNumAxes(pad) >= 2) {
        held = held | stick_directions(SDL_JoystickGetAxis(pad, 0), SDL_JoystickGetAxis(pad, 1));
    }
    return held;
}

// The browser lists a pad once a button on it has been pressed with the page open, and
// SDL_NumJoysticks asks the browser each time.
bool pads_can_appear() {
    return true;
}

// The page's finger (web/page_input.js): held 1 at (x, y) in the canvas's own pixels, 0 lifted.
extern "C" EMSCRIPTEN_KEEPALIVE void brackenreach_touch(int held, int x, int y) {
    set_touch(held != 0, x, y);
}
