#include "app/startup.h"

#include "app/display_watch.h"
#include "app/video_limits.h"
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

extern "C" void on_quit_signal(int) {
    quit_signalled = 1;
}

bool at_default(int signal_number) {
    struct sigaction current {};
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL;
}

// SDL turns SIGINT and SIGTERM into quit events from inside the signal handler, which edits the
// event queue even while the interrupted code is halfway through taking from it, so now and then
// the request vanished. A flag is all a handler can safely set. Replaces SDL's own handlers,
// which SDL_Init has just installed, and only where the signal was at its default before: a
// shell starts a background job with SIGINT ignored so that Ctrl-C is the shell's, and SDL itself
// leaves such a signal alone.
void catch_quit_signals(bool sigint, bool sigterm) {
    struct sigaction action {};
    action.sa_handler = on_quit_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigint) {
        sigaction(SIGINT, &action, nullptr);
    }
    if (sigterm) {
        sigaction(SIGTERM, &action, nullptr);
    }
}

// Classic SDL 1.2 in full screen grabs the keyboard and the pointer, and the window has no title
// bar: the desktop's close chord never reaches the window manager, and nothing but a kill from
// outside ended the game. So while the game holds the screen, Alt+F4 is a quit request of its
// own. In a window the chord is the window manager's, which sends the close request.
bool closes_full_screen(const SDL_keysym& key) {
    const SDL_Surface* video = SDL_GetVideoSurface();
    return key.sym == SDLK_F4 && (key.mod & KMOD_ALT) != 0 && video != nullptr &&
           (video->flags & SDL_FULLSCREEN) != 0;
}

// Lets only quit requests into the queue; a key press is looked at here and dropped.
extern "C" int only_quit_requests(const SDL_Event* event) {
    if (event->type == SDL_KEYDOWN && closes_full_screen(event->key.keysym)) {
        quit_signalled = 1;
    }
    return event->type == SDL_QUIT ? 1 : 0;
}

// SDL 1.2 keeps at most 127 events and drops whatever arrives while they are taken, a quit
// request included. One pump moves every event the display has sent since the last pass, so a
// burst during a long pass (the mouse swept across the window on a busy machine) used to lose
// the window's close request. The frame loop reads nothing but quit requests, and SDL keeps its
// keyboard state whether or not the key events are queued, so nothing else needs a place: key
// presses are seen by the filter as they arrive and never take room in the queue.
// Done before the window exists: classic SDL empties the whole queue, quits too, each time a
// type is switched off, and a close request already waiting would go with it.
void queue_only_quit_requests() {
    for (int type = 0; type < SDL_NUMEVENTS; ++type) {
        if (type != SDL_QUIT && type != SDL_KEYDOWN) {
            SDL_EventState(static_cast<Uint8>(type), SDL_IGNORE);
        }
    }
    SDL_SetEventFilter(only_quit_requests);
}

} // namespace

bool init() {
    std::cout << "Initializing ..." << std::endl;

    const bool sigint_at_default = at_default(SIGINT);
    const bool sigterm_at_default = at_default(SIGTERM);
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) == -1) {
        return false;
    }
    queue_only_quit_requests();
    catch_quit_signals(sigint_at_default, sigterm_at_default);
    if (SDLNet_Init() < 0) {
        std::cout << "SDLNet_Init: " << SDL_GetError() << std::endl;
        return false;
    }
    // The mixer accepts a non-positive rate, channel count or buffer and then hangs for ever when
    // closed, and a rate far from the music's overruns SDL's conversion table; such values count
    // as a mixer that would not open.
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
    watch_display();
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
