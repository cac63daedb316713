// What the client's SDL 1.2 code needs that Emscripten's SDL headers leave out: they are SDL 1.3's
// headers over a JavaScript SDL 1.2, and lack a few of 1.2's names. The web build includes this
// before every source file, so the shared modules compile unchanged.
#pragma once

#include <SDL.h>

#ifdef __cplusplus
extern "C" {
#endif

// SDL 1.2's keyboard state, indexed by key symbol; Emscripten implements it but does not declare
// it. Its key symbols (SDLK_RIGHT = 79 | 1 << 10) index the same array.
Uint8* SDL_GetKeyState(int* numkeys);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
// SDL 1.2's event filter (Emscripten declares SDL 1.3's, with user data, and implements neither):
// see sdl_compat.cpp.
void SDL_SetEventFilter(int (*filter)(const SDL_Event* event));
#endif

// SDL 1.2 counts its event types up to this; the web edge takes every type (see sdl_compat.cpp).
#ifndef SDL_NUMEVENTS
#define SDL_NUMEVENTS 32
#endif
