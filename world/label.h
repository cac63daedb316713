// The player's name floating above the character: rendered once at start-up, drawn every pass.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

class Player;

// Opened and rendered by make_name_label at start-up; freed by clean_up. Either may be null
// (no font file, or an empty name), and then no label is drawn.
extern TTF_Font* font;
extern SDL_Surface* name_label;

// Opens "calibri.ttf" at 12 points and renders the configured username in white.
void make_name_label();

// Draws the label centred 16 pixels above the sprite's top edge.
void draw_name_label(Player& player);
