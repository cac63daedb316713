// Pictures and music: loading them once at start-up, drawing whole pictures onto the screen,
// and keeping the background music playing.
#pragma once

#include <SDL.h>
#include <SDL_mixer.h>

// Loaded by main at start-up (load_image, Mix_LoadMUS); freed by clean_up. Null when the file
// could not be loaded: drawing a null surface is refused by the blit without effect.
extern SDL_Surface* player_sprite;
extern SDL_Surface* background;
extern Mix_Music* music;

// Loads a picture and converts it to the display's format with alpha; a picture with no
// see-through pixel may come back without alpha, drawn as a plain copy with the same pixels.
// Logs "Loading image: ..." and, only on success, "done"; returns null on failure.
SDL_Surface* load_image(const char* filename);

// Returns picture, or in its place (freeing it) a copy without alpha when that draws the very
// same pixels faster: no see-through pixel, and SDL's blend copies opaque pixels exactly on this
// screen. Needs the window open. Null stays null.
SDL_Surface* drop_alpha_if_opaque(SDL_Surface* picture);

// Draws all of source onto destination with its top-left corner at (x, y); the blit clips.
void apply_surface(int x, int y, SDL_Surface* source, SDL_Surface* destination);

// Blits the map so that its point (view_x, view_y), in map pixels, lands on the window's
// top-left corner.
void draw_background(int view_x, int view_y);

// Starts the music (looping for ever) whenever it is not playing; false when it can't start.
bool keep_music_playing();
