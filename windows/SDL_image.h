// SDL_image's one call the client makes, for the Windows build: the pictures Debian's SDL_image
// finds by their content on Linux whatever the file is called, PNG (libpng), JPEG (libjpeg-turbo),
// GIF (giflib) and BMP (SDL's own reader), with the pixels the Linux client draws. Debian's
// sources of SDL_image cannot be had to cross-build it.
#pragma once

#include <SDL.h>

#ifdef __cplusplus
extern "C" {
#endif

// The picture in file as a new surface, the caller's to free: 32-bit RGBA (bytes R, G, B, A in
// memory), or a BMP as SDL reads it; null on failure, with SDL's error text saying why: SDL's
// own when the file can't be opened, "Unsupported image format" for another format, and the
// decoder's failure otherwise ("Error reading the PNG file." when libpng gives up on a PNG).
SDL_Surface* IMG_Load(const char* file);

#define IMG_GetError SDL_GetError

#ifdef __cplusplus
}
#endif
