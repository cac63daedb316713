#include "app/startup.h"

#include "app/video_limits.h"
#include "media/media.h"
#include "settings/settings.h"
#include "world/label.h"

#include <SDL_mixer.h>
#include <SDL_net.h>
#include <SDL_ttf.h>

#include <iostream>

SDL_Surface* screen = nullptr;

bool init() {
    std::cout << "Initializing ..." << std::endl;

    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) == -1) {
        return false;
    }
    if (SDLNet_Init() < 0) {
        std::cout << "SDLNet_Init: " << SDL_GetError() << std::endl;
        return false;
    }
    // The mixer accepts a non-positive rate, channel count or buffer, then hangs for ever when
    // closed; such values count as a mixer that would not open.
    if (!audio_settings_acceptable(settings.audio_frequency, settings.audio_channels,
                                   settings.audio_chunksize) ||
        Mix_OpenAudio(settings.audio_frequency, MIX_DEFAULT_FORMAT, settings.audio_channels,
                      settings.audio_chunksize) == -1) {
        return false;
    }
    if (TTF_Init() == -1) {
        return false;
    }

    std::cout << "Using video mode: " << settings.screen_width << "x" << settings.screen_height
              << " at " << settings.screen_bpp << " bits per pixel" << std::endl;
    // X11 kills the process over some sizes SDL passes on unchecked; refuse them here instead.
    if (!video_mode_acceptable(settings.screen_width, settings.screen_height,
                               settings.screen_bpp)) {
        return false;
    }
    const Uint32 flags = settings.screen_fullscreen != 0 ? SDL_FULLSCREEN : 0;
    screen =
        SDL_SetVideoMode(settings.screen_width, settings.screen_height, settings.screen_bpp, flags);
    if (screen == nullptr) {
        return false;
    }

    SDL_WM_SetCaption("Brackenreach", nullptr);
    return true;
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

    TTF_Quit();
    Mix_CloseAudio();
    SDLNet_Quit();
    SDL_Quit();
}
