// Windows tells SDL when the window loses the keyboard (WM_ACTIVATE), Alt+Tab's switcher
// included, and SDL lets every key go then: no key is left held. There is no connection to the
// display to lose. But SDL 1.2's window procedure keeps every system key from Windows, which
// therefore never turns Alt+F4 into a close request: the chord is the game's to take.
#include "app/display_watch.h"

#include <SDL.h>

// Windows shows a new window once its thread takes the window's first messages. Before that the
// pictures are loaded, and the largest map the game can load (16383 x 32767 pixels) kept the
// window hidden for 10 to 20 s of decoding where Linux shows it at once.
void watch_display() {
    SDL_PumpEvents();
}

bool keyboard_grabbed_elsewhere() {
    return false;
}

bool display_lost() {
    return false;
}

bool close_chord_is_the_games(bool) {
    return true;
}
