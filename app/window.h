// The window and the picture in it: opens the window as app/window_scale.h plans it, and shows
// each frame the game has drawn. At scale 1 the game draws straight into the window, as it always
// has; otherwise into a frame of the game's own size that is enlarged into the window when shown.
#pragma once

// Opens the window the settings ask for and points screen (app/startup.h) at what the game draws
// on. False when SDL opens no window or the frame cannot be made.
bool open_window();

// Puts the frame the game has drawn on the display: SDL_Flip at scale 1, every pass; otherwise
// the rows that differ from the frame shown last, enlarged into the window, and nothing at all
// when none does. Allocates nothing.
void show_frame();

// Tells show_frame that the display has lost the window's picture (another window covered it):
// the next pass puts the whole window on the display again. Called from the event filter.
void window_exposed();

// Frees the frame open_window made (the window's own surface is SDL's).
void close_window();
