#include "app/window.h"

#include "app/display_watch.h"
#include "app/startup.h"
#include "app/window_scale.h"
#include "media/enlarge.h"
#include "settings/settings.h"

#include <iostream>

namespace {

WindowPlan plan{};
// SDL_SetVideoMode's surface: owned by SDL. Equal to screen when the game draws straight into it.
SDL_Surface* window = nullptr;
// Whether the whole window, black border and all, has been on the display once; after that only
// the picture changes.
bool shown_whole = false;

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
    screen = plan.scale > 0 ? frame_like(window, plan.game_width, plan.game_height) : nullptr;
    if (screen == nullptr) {
        return false;
    }
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
    if (SDL_MUSTLOCK(window) && SDL_LockSurface(window) < 0) {
        return;
    }
    const int bytes = window->format->BytesPerPixel;
    auto* corner =
        static_cast<unsigned char*>(window->pixels) + plan.y * window->pitch + plan.x * bytes;
    enlarge_pixels(static_cast<const unsigned char*>(screen->pixels), screen->pitch, screen->w,
                   screen->h, bytes, corner, window->pitch, plan.scale);
    if (SDL_MUSTLOCK(window)) {
        SDL_UnlockSurface(window);
    }
    if (shown_whole) {
        SDL_UpdateRect(window, plan.x, plan.y, static_cast<Uint32>(screen->w * plan.scale),
                       static_cast<Uint32>(screen->h * plan.scale));
    } else {
        SDL_Flip(window);
        shown_whole = true;
    }
}

void close_window() {
    if (screen != window) {
        SDL_FreeSurface(screen);
    }
    screen = nullptr;
    window = nullptr;
}
