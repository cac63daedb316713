// Windows tells SDL when the window loses the keyboard (WM_ACTIVATE), Alt+Tab's switcher
// included, and SDL lets every key go then: no key is left held. There is no connection to the
// display to lose. But SDL 1.2's window procedure keeps every system key from Windows, which
// therefore never turns Alt+F4 into a close request: the chord is the game's to take.
#include "app/display_watch.h"

void watch_display() {}

bool keyboard_grabbed_elsewhere() {
    return false;
}

bool display_lost() {
    return false;
}

bool close_chord_is_the_games(bool) {
    return true;
}
