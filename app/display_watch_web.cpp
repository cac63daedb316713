// The browser has no X server: no other program grabs the page's keyboard, and the page, not
// the game, learns when the tab goes away. The page enlarges the canvas by CSS itself, from the
// scale the settings give and the browser's devicePixelRatio and viewport (web/page.js).
#include "app/display_watch.h"

#include "settings/settings.h"
#include "web/library_brackenreach.h"

// The canvas exists once the window is open: the page sizes it from here on.
void watch_display() {
    brackenreach_scale_page(settings.screen_scale);
}

Desktop desktop_facts() {
    return Desktop{};
}

bool page_enlarges_the_picture() {
    return true;
}

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
