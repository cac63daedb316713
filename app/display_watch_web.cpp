// The browser has no X server: no other program grabs the page's keyboard, and the page, not
// the game, learns when the tab goes away.
#include "app/display_watch.h"

void watch_display() {}

bool keyboard_grabbed_elsewhere() {
    return false;
}

bool display_lost() {
    return false;
}

// The page's full screen keeps the chord as classic SDL's does on Linux.
bool close_chord_is_the_games(bool full_screen) {
    return full_screen;
}
