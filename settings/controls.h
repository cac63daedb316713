// The keys that walk: SDL 1.2's key names, as SDL_GetKeyName spells them, and the [controls]
// bindings read from them. No SDL here: a key is SDL 1.2's number for it (SDLK_UP is 273), which
// the input edges (app/input_*.cpp) turn into the running SDL's own where that differs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// The four directions in the order step_player takes them; also the [controls] keys' order.
enum Direction { walk_up, walk_down, walk_left, walk_right, direction_count };

// The [controls] key of each direction ("up", ...), and its default text ("Up, W", ...).
extern const char* const direction_names[direction_count];
extern const char* const default_controls[direction_count];

constexpr int max_keys_per_direction = 8;

// The keys bound to one direction, as SDL 1.2 numbers them; fixed size, so that reading them in
// every pass allocates nothing.
struct KeyList {
    std::uint16_t keys[max_keys_per_direction] = {};
    int count = 0;
};

using Bindings = std::array<KeyList, direction_count>;

// SDL 1.2's number of the key with that name, compared without regard to case ("Up", "up",
// "Left Shift", "[1]", "world 7"); 0 when no key has it.
int key_from_name(const std::string& name);

// SDL 1.2's name of a key ("up"); empty for a number that names no key.
std::string key_name(int key);

// The bindings of the four [controls] texts. A text names keys separated by commas ("Up, W");
// "W ; note" ends at the comment; an empty text binds no key. A text that names something that is
// no key, more than max_keys_per_direction keys, or a key another direction's text names too, is
// refused: refuse(direction, why) is called once for it, and it keeps its default. Of two texts
// naming the same key, one given in the file is refused before a default (the later of two given).
Bindings read_bindings(const std::array<std::string, direction_count>& texts,
                       const std::function<void(int direction, const std::string& why)>& refuse);
