// What the game learns from the window system beyond what SDL tells it: whether another program
// has taken the keyboard from the window, whether the display has gone away, and whether the
// desktop's close chord is the game's to take, and what the desktop says of its size and scale.
// Each platform has a file of its own
// (display_watch_x11.cpp, display_watch_web.cpp, display_watch_windows.cpp).
//
// A window manager's Alt+Tab switcher grabs the keyboard; a key let go meanwhile goes to the
// switcher, and SDL 1.2 and SDL 2 both ignore the focus change a grab brings, so SDL keeps such a
// key down until the switcher ends.
#pragma once

#include "app/window_scale.h"

// Starts watching the window SDL_SetVideoMode opened where it is an X11 one; on Windows, takes the
// window's first messages so that it shows before the pictures load.
void watch_display();

// True while another client's grab holds the keyboard away from the window. Takes in what the
// display has reported since the last call; never waits.
bool keyboard_grabbed_elsewhere();

// True once the connection to the X server has failed: the process is on its way out (Xlib
// exits), and SDL can no longer be shut down through that connection.
bool display_lost();

// Whether the desktop's close chord (Alt+F4) reaches the game alone, which must then take it as a
// quit request itself, in a window (full_screen false) or in full screen.
bool close_chord_is_the_games(bool full_screen);

// The desktop's usable area and dots per inch, asked before the window opens (after SDL_Init);
// what it does not say stays 0. The current mode's size is SDL's to tell (app/window.cpp).
// X11: Xft.dpi, else the screen's size in millimetres; _NET_WORKAREA, else the screen.
// Windows: the system's DPI (LogPixels) and the work area less a window's frame.
Desktop desktop_facts();

// True where the page around the game enlarges its picture (the browser, by CSS): the program's
// window then keeps the game's size whatever the scale.
bool page_enlarges_the_picture();
