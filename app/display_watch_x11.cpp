// Watches the game's X11 window for focus taken by a grab, over a connection of its own (SDL
// reads its own connection and drops exactly those events), and notes when a connection to the
// X server fails.
#include "app/display_watch.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>

namespace {

// Opened by watch_display; never closed (the process's end takes it down).
Display* watcher = nullptr;
bool grabbed = false;

XIOErrorHandler io_error_before = nullptr;
bool lost = false;

// Xlib calls this when a connection fails, then exits. sdl12-compat's SDL_Quit at exit waited
// for ever for an answer from the display that was gone.
int on_io_error(Display* display) {
    lost = true;
    return io_error_before != nullptr ? io_error_before(display) : 0;
}

} // namespace

void watch_display() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) <= 0 || info.subsystem != SDL_SYSWM_X11) {
        return;
    }
    // Classic SDL 1.2 puts its drawing window inside a frame window, which takes the focus;
    // sdl12-compat has one window and leaves wmwindow empty.
    const Window window =
        info.info.x11.wmwindow != 0 ? info.info.x11.wmwindow : info.info.x11.window;
    watcher = XOpenDisplay(DisplayString(info.info.x11.display));
    if (watcher != nullptr) {
        XSelectInput(watcher, window, FocusChangeMask);
        XFlush(watcher);
    }
    io_error_before = XSetIOErrorHandler(on_io_error);
}

bool keyboard_grabbed_elsewhere() {
    if (watcher == nullptr) {
        return false;
    }
    while (XPending(watcher) > 0) {
        XEvent event;
        XNextEvent(watcher, &event);
        // A grab moves the focus away with mode NotifyGrab and back with NotifyUngrab; a grab of
        // our own (classic SDL's full screen) moves it into our drawing window (NotifyInferior).
        // Any other focus change is SDL's to see: it lets the keys go itself.
        grabbed = event.type == FocusOut && event.xfocus.mode == NotifyGrab &&
                  event.xfocus.detail != NotifyInferior;
    }
    return grabbed;
}

bool display_lost() {
    return lost;
}

// Classic SDL 1.2 in full screen grabs the keyboard and the pointer, and the window has no title
// bar: the chord never reaches the window manager. In a window it is the window manager's, which
// sends the close request.
bool close_chord_is_the_games(bool full_screen) {
    return full_screen;
}
