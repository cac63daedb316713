#include "app/startup.h"

#include "app/display_watch.h"
#include "app/failure_text.h"
#include "app/input.h"
#include "app/process_edge.h"
#include "app/video_limits.h"
#include "app/window.h"
#include "media/media.h"
#include "settings/settings.h"
#include "world/label.h"

#include <SDL_mixer.h>
#include <SDL_net.h>
#include <SDL_ttf.h>

#include <iostream>

SDL_Surface* screen = nullptr;
volatile std::sig_atomic_t quit_signalled = 0;

namespace {

std::string failure; // init_failure's lines

// Notes why start-up stops at step; cause as start_failure_text takes it. Always false.
bool failed(StartStep step, const std::string& cause) {
    failure = start_failure_text(step, settings, cause);
    return false;
}

std::string sdl_error(const char* call) {
    return std::string(call) + ": " + SDL_GetError();
}

} // namespace

bool init() {
    std::cout << "Initializing ..." << std::endl;

    note_outside_quit_requests();
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) == -1) {
        return failed(StartStep::sdl, sdl_error("SDL_Init"));
    }
    start_input();
    catch_outside_quit_requests();
    if (SDLNet_Init() < 0) {
        std::cout << "SDLNet_Init: " << SDL_GetError() << std::endl;
        return failed(StartStep::network, sdl_error("SDLNet_Init"));
    }
    // The mixer accepts a non-positive rate, channel count or buffer and then hangs for ever when
    // closed, and a rate far from the music's overruns SDL's conversion table; such values count
    // as a mixer that would not open.
    if (!audio_settings_acceptable(settings.audio_frequency, settings.audio_channels,
                                   settings.audio_chunksize)) {
        return failed(StartStep::sound, "");
    }
    if (Mix_OpenAudio(settings.audio_frequency, MIX_DEFAULT_FORMAT, settings.audio_channels,
                      settings.audio_chunksize) == -1) {
        return failed(StartStep::sound, sdl_error("Mix_OpenAudio"));
    }
    if (TTF_Init() == -1) {
        return failed(StartStep::fonts, sdl_error("TTF_Init"));
    }

    std::cout << "Using video mode: " << settings.screen_width << "x" << settings.screen_height
              << " at " << settings.screen_bpp << " bits per pixel" << std::endl;
    // X11 kills the process over some sizes SDL passes on unchecked; refuse them here instead.
    if (!video_mode_acceptable(settings.screen_width, settings.screen_height,
                               settings.screen_bpp)) {
        return failed(StartStep::video_mode, "");
    }
    if (!open_window()) {
        return failed(StartStep::video_mode, sdl_error("SDL_SetVideoMode"));
    }

    SDL_WM_SetCaption("Brackenreach", nullptr);
    watch_display();
    return true;
}

const std::string& init_failure() {
    return failure;
}

void clean_up() {
    std::cout << "Cleaning up ..." << std::endl;

    SDL_FreeSurface(player_sprite);
    SDL_FreeSurface(background);
    SDL_FreeSurface(name_label);
    player_sprite = background = name_label = nullptr;

    Mix_FreeMusic(music);
    music = nullptr;
    if (font != nullptr) {
        TTF_CloseFont(font);
        font = nullptr;
    }

    stop_input();
    close_window();

    TTF_Quit();
    Mix_CloseAudio();
    SDLNet_Quit();
    SDL_Quit();
}
