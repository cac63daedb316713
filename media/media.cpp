#include "media/media.h"

#include "app/startup.h"

#include <SDL_image.h>

#include <cstring>
#include <iostream>

SDL_Surface* player_sprite = nullptr;
SDL_Surface* background = nullptr;
Mix_Music* music = nullptr;

namespace {

bool every_pixel_opaque(SDL_Surface* picture) {
    const Uint32 amask = picture->format->Amask;
    bool opaque = true;
    SDL_LockSurface(picture);
    for (int y = 0; opaque && y < picture->h; ++y) {
        const auto* row = reinterpret_cast<const Uint32*>(
            static_cast<const Uint8*>(picture->pixels) + y * picture->pitch);
        for (int x = 0; x < picture->w; ++x) {
            if ((row[x] & amask) != amask) {
                opaque = false;
                break;
            }
        }
    }
    SDL_UnlockSurface(picture);
    return opaque;
}

// A copy of a picture in the screen's own format, which SDL draws as a row copy; null when out
// of memory. The picture's alpha is switched off first so the conversion copies the colours.
SDL_Surface* plain_copy(SDL_Surface* picture) {
    SDL_SetAlpha(picture, 0, SDL_ALPHA_OPAQUE);
    return SDL_DisplayFormat(picture);
}

// The bits of the pixel at p that show on the screen. SDL may leave anything in the others:
// sdl12-compat writes 0xFF into the unused top byte of a 32-bit pixel when it blends and 0x00
// when it copies. A palette index (1 byte) and a 24-bit pixel have no unused bits.
Uint32 colour_bits(const Uint8* p, const SDL_PixelFormat* format) {
    const Uint32 colour = format->Rmask | format->Gmask | format->Bmask;
    if (format->BytesPerPixel == 2) {
        Uint16 v = 0;
        std::memcpy(&v, p, sizeof v);
        return v & colour;
    }
    if (format->BytesPerPixel == 4) {
        Uint32 v = 0;
        std::memcpy(&v, p, sizeof v);
        return v & colour;
    }
    Uint32 v = 0;
    for (int i = 0; i < format->BytesPerPixel; ++i) {
        v = v << 8 | p[i];
    }
    return v;
}

// Whether two surfaces of the same format and size show the same picture.
bool same_colours(const SDL_Surface* a, const SDL_Surface* b) {
    const int bytes = a->format->BytesPerPixel;
    for (int y = 0; y < a->h; ++y) {
        const Uint8* row_a = static_cast<const Uint8*>(a->pixels) + y * a->pitch;
        const Uint8* row_b = static_cast<const Uint8*>(b->pixels) + y * b->pitch;
        for (int x = 0; x < a->w; ++x) {
            if (colour_bits(row_a + x * bytes, a->format) !=
                colour_bits(row_b + x * bytes, b->format)) {
                return false;
            }
        }
    }
    return true;
}

// SDL copies an opaque pixel exactly in some of its blends and rounds it in others (onto a
// 24-bit screen 179 comes out as 178), depending on the formats and the library build. So draw
// every pair of source and backdrop channel values both ways, blended and as a plain copy, and
// compare the colours of the screen-format results.
bool blend_copies_opaque_pixels() {
    bool same = false;
    SDL_Surface* pairs =
        SDL_CreateRGBSurface(SDL_SWSURFACE, 256, 256, 32, 0xff0000, 0xff00, 0xff, 0xff000000);
    SDL_Surface* backdrop =
        SDL_CreateRGBSurface(SDL_SWSURFACE, 256, 256, 32, 0xff0000, 0xff00, 0xff, 0);
    if (pairs != nullptr && backdrop != nullptr) {
        for (Uint32 y = 0; y < 256; ++y) {
            auto* p =
                reinterpret_cast<Uint32*>(static_cast<Uint8*>(pairs->pixels) + y * pairs->pitch);
            auto* b = reinterpret_cast<Uint32*>(static_cast<Uint8*>(backdrop->pixels) +
                                                y * backdrop->pitch);
            for (Uint32 x = 0; x < 256; ++x) {
                p[x] = 0xff000000 | x << 16 | y << 8 | (x ^ y);
                b[x] = y << 16 | x << 8 | (255 - x);
            }
        }
        SDL_Surface* source = SDL_DisplayFormatAlpha(pairs);
        SDL_Surface* blended = SDL_DisplayFormat(backdrop);
        SDL_Surface* copied = SDL_DisplayFormat(backdrop);
        if (source != nullptr && blended != nullptr && copied != nullptr) {
            SDL_BlitSurface(source, nullptr, blended, nullptr);
            SDL_Surface* plain = plain_copy(source);
            same = plain != nullptr && SDL_BlitSurface(plain, nullptr, copied, nullptr) == 0 &&
                   same_colours(blended, copied);
            SDL_FreeSurface(plain);
        }
        SDL_FreeSurface(source);
        SDL_FreeSurface(blended);
        SDL_FreeSurface(copied);
    }
    SDL_FreeSurface(pairs);
    SDL_FreeSurface(backdrop);
    return same;
}

} // namespace

// SDL blends every pixel of a picture with an alpha channel on every pass, even where alpha is
// 255; for the full-window map that was most of the pass. A picture without a see-through pixel
// is drawn as a plain copy instead, wherever that gives the same pixels. A palettized screen is
// left alone: its blend picks a palette entry from all three channels at once, which the
// channel-by-channel check cannot vouch for.
SDL_Surface* drop_alpha_if_opaque(SDL_Surface* picture) {
    const SDL_Surface* window = SDL_GetVideoSurface();
    if (picture == nullptr || window == nullptr || window->format->palette != nullptr ||
        picture->format->BytesPerPixel != 4 || picture->format->Amask == 0 ||
        !every_pixel_opaque(picture) || !blend_copies_opaque_pixels()) {
        return picture;
    }
    SDL_Surface* plain = plain_copy(picture);
    if (plain == nullptr) {
        return picture; // alpha is off already: drawn as a copy, if a slower one
    }
    SDL_FreeSurface(picture);
    return plain;
}

SDL_Surface* load_image(const char* filename) {
    // Written in two pieces: a failed load leaves the line open for whatever is logged next.
    std::cout << "Loading image: " << filename << " ... ";
    SDL_Surface* loaded = IMG_Load(filename);
    if (loaded == nullptr) {
        return nullptr;
    }
    SDL_Surface* optimized = SDL_DisplayFormatAlpha(loaded);
    SDL_FreeSurface(loaded); // first: the plain copy below would otherwise raise the peak
    optimized = drop_alpha_if_opaque(optimized);
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

void draw_background(int view_x, int view_y) {
    apply_surface(-view_x, -view_y, background, screen);
}

bool keep_music_playing() {
    if (Mix_PlayingMusic() == 0) {
        return Mix_PlayMusic(music, -1) != -1;
    }
    return true;
}
