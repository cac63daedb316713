// SDL_ttf 2.0's calls the client makes, for the Windows build: text drawn with FreeType, laid out
// as SDL_ttf 2.0.11 lays it out, so a label has the same size and its glyphs the same places as
// on Linux. Debian's sources of SDL_ttf cannot be had to cross-build it.
#pragma once

#include <SDL.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct WinTtfFont TTF_Font;

// 0, or -1 when FreeType can't start. Counted: each TTF_Init needs its TTF_Quit.
int TTF_Init(void);
void TTF_Quit(void);

// The font in file at ptsize points (72 dpi); null, with the error text, when it can't be read.
TTF_Font* TTF_OpenFont(const char* file, int ptsize);
void TTF_CloseFont(TTF_Font* font);

// The size of the surface the text would be rendered into; 0, or -1 when a glyph can't be
// loaded. TTF_SizeText reads Latin-1, TTF_SizeUTF8 UTF-8.
int TTF_SizeText(TTF_Font* font, const char* text, int* w, int* h);
int TTF_SizeUTF8(TTF_Font* font, const char* text, int* w, int* h);

// The UTF-8 text on a new 8-bit surface: index 1 is fg, index 0 the colour key (the background,
// see-through). Null for text of no width ("Text has zero width") or a glyph that can't be
// loaded.
SDL_Surface* TTF_RenderUTF8_Solid(TTF_Font* font, const char* text, SDL_Color fg);

#define TTF_SetError SDL_SetError
#define TTF_GetError SDL_GetError

#ifdef __cplusplus
}
#endif
