#include "app/window.h"

#include "app/display_watch.h"
#include "app/startup.h"
#include "app/window_scale.h"
#include "media/enlarge.h"
#include "settings/settings.h"

#include <atomic>
#include <iostream>

namespace {

WindowPlan plan{};
// SDL_SetVideoMode's surface: owned by SDL. Equal to screen when the game draws straight into it.
SDL_Surface* window = nullptr;
// The frame as last enlarged into the window, at the game's size (scale 2 and above). A pass that
// draws the very same pixels as the one before, as every pass does while the player stands
// still, then costs neither an enlargement nor a trip to the display: on sdl12-compat even a
// small update has SDL 2 convert, clear and copy the whole window, so a pass saved there saves
// several times the pixels of the window.
SDL_Surface* kept = nullptr;
// Whether the whole window, black border and all, is to go on the display at the next pass: at
// the first, and whenever the display has lost it. After that only the rows that changed do.
// Set from the event filter, which SDL may call on another thread than the frame loop's.
std::atomic<bool> show_whole{true};

// A surface of the window's own format (its palette too), so that pictures converted for the
// display draw on it exactly as on the window, and its rows copy into the window unconverted.
SDL_Surface* frame_like(const SDL_Surface* surface, int width, int height) {
    const SDL_PixelFormat* format = surface->format;
    SDL_Surface* frame =
        SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, format->BitsPerPixel, format->Rmask,
                             format->Gmask, format->Bmask, format->Amask);
    if (frame != nullptr && format->palette != nullptr) {
        SDL_SetPalette(frame, SDL_LOGPAL, format->palette->colors, 0, format->palette->ncolors);
    }
    return frame;
}

Desktop desktop_now() {
    Desktop desktop = desktop_facts();
    // The current mode: what classic SDL, sdl12-compat and windib report before a window opens
    // (0 where the driver does not know, as the dummy one).
    const SDL_VideoInfo* info = SDL_GetVideoInfo();
    if (info != nullptr) {
        desktop.width = info->current_w;
        desktop.height = info->current_h;
    }
    if (desktop.usable_width <= 0 || desktop.usable_height <= 0) {
        desktop.usable_width = desktop.width;
        desktop.usable_height = desktop.height;
    }
    return desktop;
}

} // namespace

bool open_window() {
    if (page_enlarges_the_picture()) {
        // The page enlarges the canvas itself: the program's window keeps the game's size.
        plan = plan_window(settings.screen_width, settings.screen_height, settings.screen_bpp, 1,
                           settings.screen_fullscreen != 0, Desktop{});
    } else {
        plan = plan_window(settings.screen_width, settings.screen_height, settings.screen_bpp,
                           settings.screen_scale, settings.screen_fullscreen != 0, desktop_now());
    }
    const Uint32 flags = plan.full_screen ? SDL_FULLSCREEN : 0;
    window = SDL_SetVideoMode(plan.window_width, plan.window_height, settings.screen_bpp, flags);
    if (window == nullptr) {
        return false;
    }
    if (plan.scale == 1 && plan.x == 0 && plan.y == 0) {
        screen = window;
        return true;
    }
    // Should SDL give a smaller surface than asked for, the picture is fitted into the one it
    // gave: the enlargement must never write past the window's pixels.
    if (window->w < plan.x + plan.game_width * plan.scale ||
        window->h < plan.y + plan.game_height * plan.scale) {
        plan.scale =
            largest_scale_that_fits(plan.game_width, plan.game_height, window->w, window->h);
        plan.x = (window->w - plan.game_width * plan.scale) / 2;
        plan.y = (window->h - plan.game_height * plan.scale) / 2;
    }
    if (plan.scale > 0) {
        screen = frame_like(window, plan.game_width, plan.game_height);
        kept = frame_like(window, plan.game_width, plan.game_height);
    }
    if (screen == nullptr || kept == nullptr) {
        return false;
    }
    show_whole = true;
    SDL_FillRect(window, nullptr, SDL_MapRGB(window->format, 0, 0, 0));
    std::cout << "Screen scale: " << plan.scale << (plan.chosen_by_auto ? " (auto)" : "") << ", "
              << plan.game_width << "x" << plan.game_height << " shown "
              << (plan.full_screen ? "at " : "in a ") << plan.window_width << "x"
              << plan.window_height << (plan.full_screen ? " full screen" : " window") << std::endl;
    return true;
}

void show_frame() {
    if (screen == window) {
        SDL_Flip(window);
        return;
    }
    const int bytes = window->format->BytesPerPixel;
    // Taken and cleared in one step: a repaint request that arrives while this pass draws asks
    // for the next one, and is not lost.
    const bool whole = show_whole.exchange(false);
    RowSpan rows = keep_changed_rows(static_cast<const unsigned char*>(screen->pixels),
                                     screen->pitch, static_cast<unsigned char*>(kept->pixels),
                                     kept->pitch, screen->w * bytes, screen->h);
    if (whole) {
        rows = RowSpan{0, screen->h};
    }
    if (rows.count == 0) {
        return;
    }
    if (SDL_MUSTLOCK(window) && SDL_LockSurface(window) < 0) {
        show_whole = true; // the rows just kept are not in the window yet
        return;
    }
    const int top = plan.y + rows.first * plan.scale;
    auto* corner =
        static_cast<unsigned char*>(window->pixels) + top * window->pitch + plan.x * bytes;
    enlarge_pixels(static_cast<const unsigned char*>(screen->pixels) + rows.first * screen->pitch,
                   screen->pitch, screen->w, rows.count, bytes, corner, window->pitch, plan.scale);
    if (SDL_MUSTLOCK(window)) {
        SDL_UnlockSurface(window);
    }
    if (whole) {
        SDL_Flip(window);
    } else {
        SDL_UpdateRect(window, plan.x, top, static_cast<Uint32>(screen->w * plan.scale),
                       static_cast<Uint32>(rows.count * plan.scale));
    }
}

void window_exposed() {
    show_whole = true;
}

void close_window() {
    if (screen != window) {
        SDL_FreeSurface(screen);
    }
    SDL_FreeSurface(kept);
    kept = nullptr;
    screen = nullptr;
    window = nullptr;
}
