#include "app/input.h"

#include "app/directions.h"
#include "app/display_watch.h"
#include "app/input_edge.h"
#include "app/startup.h"
#include "app/window.h"
#include "settings/settings.h"

#include <iostream>

namespace {

// Where each direction's keys are in SDL_GetKeyState's array, worked out once at start.
struct KeyIndexes {
    int index[max_keys_per_direction] = {};
    int count = 0;
};
KeyIndexes key_indexes[direction_count];

SDL_Joystick* pad = nullptr;
// Where pads can come and go, how many passes until the next look for one.
int passes_to_next_look = 0;
constexpr int passes_between_looks = 60; // about a second

bool touch_held = false;
int touch_x = 0;
int touch_y = 0;

// Where Alt+F4 reaches nothing but the game (in full screen under X11, where nothing but a kill
// from outside ended it before; always on Windows), it is a quit request of the game's own.
bool closes_the_game(const SDL_keysym& key) {
    const SDL_Surface* video = SDL_GetVideoSurface();
    return key.sym == SDLK_F4 && (key.mod & KMOD_ALT) != 0 && video != nullptr &&
           close_chord_is_the_games((video->flags & SDL_FULLSCREEN) != 0);
}

// Lets only quit requests into the queue; a key press or a repaint request is looked at here and
// dropped.
extern "C" int only_quit_requests(const SDL_Event* event) {
    if (event->type == SDL_KEYDOWN && closes_the_game(event->key.keysym)) {
        quit_signalled = 1;
    }
    if (event->type == SDL_VIDEOEXPOSE) {
        window_exposed();
    }
    return event->type == SDL_QUIT ? 1 : 0;
}

// SDL 1.2 keeps at most 127 events and drops whatever arrives while they are taken, a quit
// request included. One pump moves every event the display has sent since the last pass, so a
// burst during a long pass (the mouse swept across the window on a busy machine) used to lose
// the window's close request. The frame loop reads nothing but quit requests, and SDL keeps its
// keyboard state whether or not the key events are queued, so nothing else needs a place: key
// presses are seen by the filter as they arrive and never take room in the queue. Nor do repaint
// requests (another window uncovered this one): classic SDL repaints from its own copy of the
// window and sends none here, sdl12-compat does not repaint and sends one, which the filter
// passes to show_frame; so they stay switched on, as key presses do, since SDL hands a type
// switched off to no filter either. Joystick events stay off too: the pad's state is read
// whole once a pass (input_desktop.cpp updates it), and a stick's stream of axis motion would
// otherwise fill the queue.
// Done before the window exists: classic SDL empties the whole queue, quits too, each time a
// type is switched off, and a close request already waiting would go with it.
void queue_only_quit_requests() {
    for (int type = 0; type < SDL_NUMEVENTS; ++type) {
        if (type != SDL_QUIT && type != SDL_KEYDOWN && type != SDL_VIDEOEXPOSE) {
            SDL_EventState(static_cast<Uint8>(type), SDL_IGNORE);
        }
    }
    SDL_SetEventFilter(only_quit_requests);
}

void look_for_pad() {
    if (SDL_NumJoysticks() < 1) {
        return;
    }
    pad = SDL_JoystickOpen(0);
    if (pad != nullptr) {
        const char* name = SDL_JoystickName(0);
        std::cout << "Using gamepad: " << (name != nullptr ? name : "") << std::endl;
    }
}

HeldDirections keys_held() {
    if (keyboard_grabbed_elsewhere()) {
        return {}; // a key let go now is not seen until the grab ends: stand still
    }
    const Uint8* state = SDL_GetKeyState(nullptr);
    bool held[direction_count] = {};
    for (int d = 0; d < direction_count; ++d) {
        for (int k = 0; k < key_indexes[d].count; ++k) {
            held[d] = held[d] || state[key_indexes[d].index[k]] != 0;
        }
    }
    return {held[walk_up], held[walk_down], held[walk_left], held[walk_right]};
}

} // namespace

void start_input() {
    queue_only_quit_requests();
    for (int d = 0; d < direction_count; ++d) {
        key_indexes[d] = KeyIndexes{};
        const KeyList& keys = settings.controls[d];
        for (int k = 0; k < keys.count; ++k) {
            const int index = keyboard_index(keys.keys[k]);
            if (index >= 0 && index < keyboard_size()) {
                key_indexes[d].index[key_indexes[d].count++] = index;
            }
        }
    }
    // No pad, or no joystick support at all, leaves the keyboard and the finger.
    if (SDL_InitSubSystem(SDL_INIT_JOYSTICK) == 0) {
        SDL_JoystickEventState(SDL_IGNORE);
        look_for_pad();
    }
}

void stop_input() {
    if (pad != nullptr) {
        SDL_JoystickClose(pad);
        pad = nullptr;
    }
}

HeldDirections held_directions(int character_x, int character_y) {
    HeldDirections held = keys_held();
    if (pad == nullptr && pads_can_appear() && --passes_to_next_look <= 0) {
        passes_to_next_look = passes_between_looks;
        look_for_pad();
    }
    if (pad != nullptr) {
        held = held | pad_directions(pad);
    }
    if (touch_held) {
        held = held | touch_directions(touch_x, touch_y, character_x, character_y);
    }
    return held;
}

void set_touch(bool held, int x, int y) {
    touch_held = held;
    touch_x = x;
    touch_y = y;
}
