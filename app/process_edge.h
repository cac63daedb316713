// The process's dealings with its platform that SDL does not cover: requests from outside to end
// the game, and the environment the libraries read. Each platform has a file of its own
// (process_edge_posix.cpp on Linux and in the browser, process_edge_windows.cpp on Windows).
#pragma once

// Called just before SDL_Init: notes which of the platform's requests to end the game whoever
// started the process left at their default.
void note_outside_quit_requests();

// Called just after SDL_Init: routes those requests to quit_signalled (app/startup.h) instead of
// SDL's own handling of them.
void catch_outside_quit_requests();

// Sets the environment variable name to value, unless it is set already and replace is false.
void set_environment(const char* name, const char* value, bool replace);
