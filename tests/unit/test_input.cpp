// Input as state: a stick, a hat and a finger to the eight ways, and SDL 1.2's key names.
#include "app/directions.h"
#include "sdl_fixture.h"
#include "settings/controls.h"

#include <algorithm>
#include <string>

namespace {

// "udlr" spells the ways held: "" none, "ur" up and right.
std::string ways(HeldDirections h) {
    return std::string(h.up ? "u" : "") + (h.down ? "d" : "") + (h.left ? "l" : "") +
           (h.right ? "r" : "");
}

} // namespace

TEST(Input, DeviceToDirectionTable) {
    enum Device { stick, hat, touch };
    // touch: (a, b) is the finger, the character's middle at (320, 240).
    const struct {
        const char* label;
        Device device;
        int a, b;
        const char* want;
    } rows[] = {
        {"stick at rest", stick, 0, 0, ""},
        {"noise under the dead zone", stick, 3000, -2500, ""},
        {"just under the dead zone", stick, 8191, 0, ""},
        {"at the dead zone's edge", stick, 8192, 0, "r"},
        {"dead zone is round: 6000, 6000 is outside", stick, 6000, 6000, "dr"},
        {"full left (SDL's -32768)", stick, -32768, 0, "l"},
        {"up-left diagonal", stick, -23170, -23170, "ul"},
        {"22 degrees below the axis stays right", stick, 30000, 12120, "r"},
        {"23 degrees below the axis is the diagonal", stick, 30000, 12734, "dr"},
        {"67 degrees is still the diagonal", stick, 12000, 28270, "dr"},
        {"68 degrees is down alone", stick, 12000, 29700, "d"},
        {"hat up", hat, hat_up, 0, "u"},
        {"hat down-right", hat, hat_down | hat_right, 0, "dr"},
        {"hat up-left", hat, hat_up | hat_left, 0, "ul"},
        {"finger inside the reach radius", touch, 325, 245, ""},
        {"finger right of the character", touch, 600, 250, "r"},
        {"finger above", touch, 330, 10, "u"},
        {"finger below-left", touch, 100, 470, "dl"},
        {"finger just past the reach radius", touch, 312, 240, "l"},
        {"finger off the picture still pulls", touch, -50, 240, "l"},
    };
    for (const auto& r : rows) {
        const HeldDirections got = r.device == stick ? stick_directions(r.a, r.b)
                                   : r.device == hat ? hat_directions(static_cast<unsigned>(r.a))
                                                     : touch_directions(r.a, r.b, 320, 240);
        EXPECT_EQ(r.want, ways(got)) << r.label;
    }
}

// The names a player writes in [controls] are the ones SDL itself gives its keys, on whichever
// SDL 1.2 this runs: every key SDL names is found by that name, in capitals too, and every name
// of ours is SDL's. sdl12-compat calls ";" ");" (its own slip); ";" stands for it.
class KeyNames : public DummyScreen {};

TEST_F(KeyNames, AreSdlsOwn) {
    int named = 0;
    for (int key = 1; key < SDLK_LAST; ++key) {
        std::string sdl = SDL_GetKeyName(static_cast<SDLKey>(key));
        if (sdl == "unknown key") {
            EXPECT_EQ("", key_name(key)) << key;
            continue;
        }
        ++named;
        if (key == SDLK_SEMICOLON && sdl == ");") {
            sdl = ";";
        }
        EXPECT_EQ(sdl, key_name(key)) << key;
        std::string upper = sdl;
        std::transform(sdl.begin(), sdl.end(), upper.begin(),
                       [](char c) { return std::toupper(c); });
        EXPECT_EQ(key, key_from_name(upper)) << upper;
    }
    EXPECT_GT(named, 200);
    EXPECT_EQ(0, key_from_name("unknown key"));
    EXPECT_EQ(0, key_from_name(""));
}
