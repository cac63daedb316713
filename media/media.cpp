#include "media/media.h"

#include "app/startup.h"
#include "world/player.h"

#include <SDL_image.h>

#include <iostream>

SDL_Surface* player_sprite = nullptr;
SDL_Surface* background = nullptr;
Mix_Music* music = nullptr;

SDL_Surface* load_image(const char* filename) {
    // Written in two pieces: a failed load leaves the line open for whatever is logged next.
    std::cout << "Loading image: " << filename << " ... ";
    SDL_Surface* loaded = IMG_Load(filename);
    if (loaded == nullptr) {
        return nullptr;
    }
    SDL_Surface* optimized = SDL_DisplayFormatAlpha(loaded);
    SDL_FreeSurface(loaded);
    std::cout << "done" << std::endl;
    return optimized;
}

void apply_surface(int x, int y, SDL_Surface* source, SDL_Surface* destination) {
    SDL_Rect offset;
    offset.x = static_cast<Sint16>(x);
    offset.y = static_cast<Sint16>(y);
    offset.w = 0;
    offset.h = 0;
    SDL_BlitSurface(source, nullptr, destination, &offset);
}

void draw_background() {
    apply_surface(-camera.x, -camera.y, background, screen);
}

bool keep_music_playing() {
    if (Mix_PlayingMusic() == 0) {
        return Mix_PlayMusic(music, -1) != -1;
    }
    return true;
}
