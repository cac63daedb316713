// SDL_image's one call the client makes, for the Windows build: PNG pictures read with libpng.
// Debian's sources of SDL_image cannot be had to cross-build it, and the game has only PNGs.
#pragma once

#include <SDL.h>

#ifdef __cplusplus
extern "C" {
#endif

// The picture in file as a new 32-bit RGBA surface (bytes R, G, B, A in memory), the free
// surface's to free; null on failure, with SDL's error text saying why: SDL's own when the file
// can't be opened, "Unsupported image format" when it is not a PNG, "Error reading the PNG
// file." when libpng gives up on it, as SDL_image words them.
SDL_Surface* IMG_Load(const char* file);

#define IMG_GetError SDL_GetError

#ifdef __cplusplus
}
#endif
