// Start-up and shut-down of the libraries and the window.
#pragma once

#include <SDL.h>

#include <csignal>
#include <string>

// What every pass draws on, at the game's size: the window's video surface (SDL's) at scale 1,
// else a frame that show_frame enlarges into the window. Set by init (app/window.h: open_window),
// the frame freed by clean_up.
extern SDL_Surface* screen;

// A quit request from outside SDL's queue: set by the platform's handlers that init installs
// (app/process_edge.h: SIGINT and SIGTERM on Linux), and by Alt+F4 in full screen (the event
// filter, app/input.cpp). The frame loop takes it as a quit request. Never cleared.
extern volatile std::sig_atomic_t quit_signalled;

// Starts SDL, SDL_net, SDL_mixer and SDL_ttf and opens the window as the settings say.
// False at the first failure; whatever started before it stays started until process exit.
bool init();

// Why init returned false, in lines for the player (app/failure_text.h); empty before that.
const std::string& init_failure();

// Frees every surface, the music and the font, then stops the libraries in reverse order.
void clean_up();
