// Watches the game's X11 window for focus taken by a grab, over a connection of its own (SDL
// reads its own connection and drops exactly those events), notes when a connection to the X
// server fails, and reads the desktop's scale and work area before the window opens.
#include "app/display_watch.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

// The desktop's chosen scale: Xft.dpi among the resources the session set on the root window
// (GNOME, KDE and Xfce write it from their scaling setting); 0 when there is none.
int xft_dpi(Display* display) {
    const char* resources = XResourceManagerString(display);
    for (const char* line = resources; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, "Xft.dpi:", 8) == 0) {
            return static_cast<int>(std::lround(std::strtod(line + 8, nullptr)));
        }
        line = std::strchr(line, '\n');
        line = line != nullptr ? line + 1 : nullptr;
    }
    return 0;
}

// The screen's own pixels per inch from the size in millimetres the server reports (Xvfb's -dpi,
// a monitor's EDID); 0 when it reports none.
int screen_dpi(Display* display, int screen) {
    const int millimetres = DisplayWidthMM(display, screen);
    if (millimetres <= 0) {
        return 0;
    }
    return static_cast<int>(std::lround(DisplayWidth(display, screen) * 25.4 / millimetres));
}

// One CARDINAL of a root window property, or -1.
long cardinal(Display* display, Window root, const char* name, long index) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long value = -1;
    if (XGetWindowProperty(display, root, XInternAtom(display, name, False), index, 1, False,
                           XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
        type == XA_CARDINAL && format == 32 && count == 1) {
        value = reinterpret_cast<const long*>(data)[0]; // Xlib hands 32-bit items over as longs
    }
    if (data != nullptr) {
        XFree(data);
    }
    return value;
}

} // namespace

Desktop desktop_facts() {
    Desktop facts;
    char driver[16] = "";
    if (SDL_VideoDriverName(driver, sizeof driver) == nullptr || std::strcmp(driver, "x11") != 0) {
        return facts;
    }
    Display* display = XOpenDisplay(nullptr); // where SDL goes: the same DISPLAY
    if (display == nullptr) {
        return facts;
    }
    const int screen = DefaultScreen(display);
    facts.dots_per_inch = xft_dpi(display);
    if (facts.dots_per_inch <= 0) {
        facts.dots_per_inch = screen_dpi(display, screen);
    }
    // The window manager's work area (the screen less its panels) on the current desktop: four
    // numbers (x, y, width, height) a desktop.
    const Window root = RootWindow(display, screen);
    const long desktop = std::max(0L, cardinal(display, root, "_NET_CURRENT_DESKTOP", 0));
    const long width = cardinal(display, root, "_NET_WORKAREA", desktop * 4 + 2);
    const long height = cardinal(display, root, "_NET_WORKAREA", desktop * 4 + 3);
    if (width > 0 && height > 0) {
        facts.usable_width = static_cast<int>(width);
        facts.usable_height = static_cast<int>(height);
    } else {
        facts.usable_width = DisplayWidth(display, screen);
        facts.usable_height = DisplayHeight(display, screen);
    }
    XCloseDisplay(display);
    return facts;
}

bool page_enlarges_the_picture() {
    return false;
}

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
