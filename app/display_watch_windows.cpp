// Windows tells SDL when the window loses the keyboard (WM_ACTIVATE), Alt+Tab's switcher
// included, and SDL lets every key go then: no key is left held. There is no connection to the
// display to lose. But SDL 1.2's window procedure keeps every system key from Windows, which
// therefore never turns Alt+F4 into a close request: the chord is the game's to take.
#include "app/display_watch.h"

#include <SDL.h>
#include <windows.h>

// Windows shows a new window once its thread takes the window's first messages. Before that the
// pictures are loaded, and the largest map the game can load (16383 x 32767 pixels) kept the
// window hidden for 10 to 20 s of decoding where Linux shows it at once.
void watch_display() {
    SDL_PumpEvents();
}

// The process is per-monitor DPI aware (windows/brackenreach.manifest): Windows does not enlarge
// its window, and what it reports is in the screen's own pixels. The system DPI is the scale the
// player chose for the main monitor (LogPixels in the registry, which Wine reads too); a window
// opens on that monitor. The work area less the frame SDL 1.2 puts around a window is the room
// for the picture.
Desktop desktop_facts() {
    Desktop facts;
    if (HDC screen_dc = GetDC(nullptr)) {
        facts.dots_per_inch = GetDeviceCaps(screen_dc, LOGPIXELSX);
        ReleaseDC(nullptr, screen_dc);
    }
    RECT area;
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) {
        RECT frame = {0, 0, 0, 0};
        AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, 0);
        facts.usable_width = (area.right - area.left) - (frame.right - frame.left);
        facts.usable_height = (area.bottom - area.top) - (frame.bottom - frame.top);
    }
    return facts;
}

bool page_enlarges_the_picture() {
    return false;
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
