// SDL 1.2 calls that Emscripten's SDL leaves out or does differently in the browser: the error
// text, the event filter, the display format, the flip that shows a frame only when it changed,
// and the two places where the frame loop must hand control back to the browser.

#include "library_brackenreach.h"

#include <emscripten.h>

#include <cstdarg>
#include <cstdio>

namespace {

// Emscripten's SDL_SetError does nothing and its SDL_GetError says "unknown SDL-emscripten
// error" whatever happened; the link names the cause of a failure as on the desktop, from here.
char error_text[256];

// Whether the browser has run since the last flip.
bool browser_has_run = true;

} // namespace

extern "C" {

void SDL_SetError(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(error_text, sizeof error_text, fmt, args);
    va_end(args);
}

const char* SDL_GetError() {
    return error_text;
}

void SDL_ClearError() {
    error_text[0] = '\0';
}

// The browser's queue holds 10,000 events, not SDL 1.2's 127, and Emscripten updates the keyboard
// state only as key events are taken from it, so nothing is left out of the queue here: the frame
// loop drains it every pass.
Uint8 SDL_EventState(Uint32 /*type*/, int /*state*/) {
    return SDL_ENABLE;
}

} // extern "C"

// The desktop filters events so that only quit requests take room in SDL 1.2's 127 places, and
// looks at key presses there for Alt+F4 in full screen, which classic SDL keeps from the window
// manager. In the browser the queue is large (above), and full screen is the browser's own,
// which Escape leaves; the filter is not needed.
void SDL_SetEventFilter(int (* /*filter*/)(const SDL_Event* event)) {}

extern "C" {

// Emscripten's pictures are canvases in the browser's own format, alpha or not; converting is a
// copy, as its SDL_DisplayFormatAlpha does.
SDL_Surface* SDL_DisplayFormat(SDL_Surface* surface) {
    return SDL_ConvertSurface(surface, surface->format, 0);
}

// The browser shows the canvas, delivers key presses and sends what the link queued only while
// our code is not running. A pass that slept in the frame cap has let it run; one that did not
// (the cap off, or a pass longer than the frame time) lets it run here, or the page would freeze.
// The frame itself reaches the canvas here, and only when it differs from the one shown (see
// library_brackenreach.js): most passes of a game draw the same picture while the player stands.
int SDL_Flip(SDL_Surface* /*screen*/) {
    brackenreach_present();
    if (!browser_has_run) {
        emscripten_sleep(0);
    }
    browser_has_run = false;
    return 0;
}

void SDL_Delay(Uint32 ms) {
    emscripten_sleep(ms);
    browser_has_run = true;
}

} // extern "C"
