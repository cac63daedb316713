// The process's dealings with its platform that SDL does not cover: requests from outside to end
// the game, the environment the libraries read, and where a player who never sees standard
// output (on Windows) finds the log and hears of a failure. Each platform has a file of its own
// (process_edge_posix.cpp on Linux and in the browser, process_edge_windows.cpp on Windows).
#pragma once

#include <string>

// Called just before SDL_Init: notes which of the platform's requests to end the game whoever
// started the process left at their default.
void note_outside_quit_requests();

// Called just after SDL_Init: routes those requests to quit_signalled (app/startup.h) instead of
// SDL's own handling of them.
void catch_outside_quit_requests();

// Sets the environment variable name to value, unless it is set already and replace is false.
void set_environment(const char* name, const char* value, bool replace);

// Called first in main. On Windows the log's lines also go to
// %LOCALAPPDATA%\Brackenreach\log.txt (the run before's kept as log.previous.txt beside it), as
// they are written; standard output is unchanged. Elsewhere standard output is the whole log.
void keep_log_file();

// Called as the process ends on a failure: start-up failed, or the game stops with a non-zero
// status. what: lines, each ended by '\n' (app/failure_text.h). On Windows they go to the log,
// with the folder the game reads its files from; SDL is shut down (its window closes) and a
// message box shows the same and where the log file is, until the player closes it. Elsewhere
// nothing: the log on standard output says what failed.
void tell_player_of_failure(const std::string& what);
