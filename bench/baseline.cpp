// The floor the client's benchmark measures against: the least work a pass can do and still put
// the client's pixels on the screen and its bytes on the wire at the same settings. It reads the
// same config.ini from its working directory and shares with the client only the SDL-free
// arithmetic, the load-time choice of how a picture is drawn and the render path chosen before
// SDL starts, so nothing the client's pass does can slow the floor down with it.

#include "app/frame_cap.h"
#include "app/render_path.h"
#include "media/media.h"
#include "world/movement.h"
#include "world/player.h"

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <SDL_net.h>
#include <SDL_ttf.h>
#include <SimpleIni.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Config {
    int screen_width, screen_height, screen_bpp, screen_fullscreen;
    int frames_per_second, enable_fps_cap;
    int audio_frequency, audio_channels, audio_chunksize;
    int map_width, map_height;
    std::string server_ip;
    int server_port;
    std::string username;
};

Config read_config() {
    CSimpleIniA ini(false, false, false);
    ini.LoadFile("config.ini"); // missing: every key keeps its default, as in the client
    auto number = [&](const char* section, const char* key, const char* fallback) {
        return std::atoi(ini.GetValue(section, key, fallback));
    };
    Config c;
    c.screen_width = number("video", "screen_width", "640");
    c.screen_height = number("video", "screen_height", "480");
    c.screen_bpp = number("video", "screen_bpp", "32");
    c.screen_fullscreen = number("video", "screen_fullscreen", "0");
    c.frames_per_second = number("video", "frames_per_second", "60");
    c.enable_fps_cap = number("video", "enable_fps_cap", "1");
    c.audio_frequency = number("audio", "audio_frequency", "44100");
    c.audio_channels = number("audio", "audio_channels", "2");
    c.audio_chunksize = number("audio", "audio_chunksize", "1024");
    c.map_width = number("map", "map_width", "1280");
    c.map_height = number("map", "map_height", "960");
    c.server_ip = ini.GetValue("network", "server_ip", "localhost");
    c.server_port = number("network", "server_port", "1337");
    c.username = ini.GetValue("network", "username", "Unnamed");
    return c;
}

// The four arrow keys, read as the plain loop reads them: no bindings, no pad, no finger.
HeldDirections held_arrows() {
    const Uint8* held = SDL_GetKeyState(nullptr);
    return {held[SDLK_UP] != 0, held[SDLK_DOWN] != 0, held[SDLK_LEFT] != 0, held[SDLK_RIGHT] != 0};
}

// The cheapest drawing that gives the client's pixels: the client's own rule for drawing an
// opaque picture as a plain copy (a load-time step, so sharing it costs the floor nothing).
SDL_Surface* load_picture(const char* filename) {
    SDL_Surface* loaded = IMG_Load(filename);
    if (loaded == nullptr) {
        return nullptr;
    }
    SDL_Surface* with_alpha = SDL_DisplayFormatAlpha(loaded);
    SDL_FreeSurface(loaded);
    return drop_alpha_if_opaque(with_alpha);
}

void blit(int x, int y, SDL_Surface* source, SDL_Surface* destination) {
    SDL_Rect at = {static_cast<Sint16>(x), static_cast<Sint16>(y), 0, 0};
    SDL_BlitSurface(source, nullptr, destination, &at);
}

} // namespace

int main() {
    choose_render_path(); // the client's own, so both draw the same way on sdl12-compat
    const Config c = read_config();

    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) == -1 || SDLNet_Init() < 0 ||
        Mix_OpenAudio(c.audio_frequency, MIX_DEFAULT_FORMAT, c.audio_channels, c.audio_chunksize) ==
            -1 ||
        TTF_Init() == -1) {
        return 1;
    }
    SDL_Surface* screen = SDL_SetVideoMode(c.screen_width, c.screen_height, c.screen_bpp,
                                           c.screen_fullscreen != 0 ? SDL_FULLSCREEN : 0);
    if (screen == nullptr) {
        return 1;
    }
    SDL_WM_SetCaption("Brackenreach", nullptr);

    TCPsocket server = nullptr;
    IPaddress address;
    if (SDLNet_ResolveHost(&address, c.server_ip.c_str(), static_cast<Uint16>(c.server_port)) ==
        0) {
        server = SDLNet_TCP_Open(&address);
    }

    SDL_Surface* sprite = load_picture("img/player2.png");
    SDL_Surface* map = load_picture("img/background3.png");
    // Started once: looping for ever, it needs no watching.
    Mix_Music* tune = Mix_LoadMUS("audio/softworld.wav");
    Mix_PlayMusic(tune, -1);
    SDL_Surface* label = nullptr;
    if (TTF_Font* font = TTF_OpenFont("calibri.ttf", 12)) {
        label = TTF_RenderUTF8_Solid(font, c.username.c_str(), SDL_Color{255, 255, 255, 0});
    }

    const bool capped = frame_cap_enabled(c.enable_fps_cap, c.frames_per_second);
    const int frame_ms = capped ? frame_time_ms(c.frames_per_second) : 0;
    const auto view_w = static_cast<Uint16>(c.screen_width);
    const auto view_h = static_cast<Uint16>(c.screen_height);
    float x = 400;
    float y = 300;
    Uint32 last = SDL_GetTicks();
    bool quit = false;
    while (!quit) {
        const Uint32 start = SDL_GetTicks();
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            quit = quit || event.type == SDL_QUIT;
        }

        step_player(x, y, held_arrows(), start - last, c.map_width, c.map_height);
        last = start;
        const CameraOrigin cam = camera_origin(x, y, c.screen_width, c.screen_height, c.map_width,
                                               c.map_height, view_w, view_h);
        const int px = truncate_to_int(x);
        const int py = truncate_to_int(y);

        if (server != nullptr) {
            const auto ux = static_cast<Uint32>(px);
            const unsigned char bytes[4] = {
                static_cast<unsigned char>(ux >> 24), static_cast<unsigned char>(ux >> 16),
                static_cast<unsigned char>(ux >> 8), static_cast<unsigned char>(ux)};
            SDLNet_TCP_Send(server, bytes, 4);
        }

        blit(-cam.x, -cam.y, map, screen);
        if (label != nullptr) {
            const ScreenPoint at = label_position(px, py, label->w, label->h, cam.x, cam.y);
            blit(at.x, at.y, label, screen);
        }
        blit(px - cam.x, py - cam.y, sprite, screen);
        SDL_Flip(screen);

        if (capped) {
            // Signed, like the client's: a negative rate gives a negative frame time, no wait.
            const auto spent = static_cast<int>(SDL_GetTicks() - start);
            if (spent < frame_ms) {
                SDL_Delay(static_cast<Uint32>(frame_ms - spent));
            }
        }
    }

    if (server != nullptr) {
        SDLNet_TCP_Send(server, "exit", 5);
    }
    Mix_CloseAudio();
    SDL_Quit();
    return 0;
}
