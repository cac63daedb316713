// What a player is told when the game cannot start or has to stop: what failed, the settings
// that chose it, and the game's files that were not there. Words only, no SDL: the platform shows
// them (app/process_edge.h), and the Windows table checks them whole in the game's log file.
#pragma once

#include "settings/settings.h"

#include <string>
#include <vector>

// The step of start-up (app/startup.cpp: init) that failed.
enum class StartStep {
    sdl,        // SDL_Init: the timer, sound and video
    network,    // SDLNet_Init
    sound,      // the mixer: settings it does not take, or Mix_OpenAudio
    fonts,      // TTF_Init
    video_mode, // the window: a size or depth SDL cannot hold, or SDL_SetVideoMode
};

// Lines (each ended by '\n') naming what failed, for the sound and the window with the settings
// that chose them as the game read them; then cause, the failing call and the library's words
// ("SDL_SetVideoMode: No video mode large enough"). An empty cause is a refusal before any
// library was asked, and the limits it broke are named instead.
std::string start_failure_text(StartStep step, const Settings& chosen, const std::string& cause);

// A line listing files (relative to the game's folder) that start-up could not read, with what a
// missing config.ini means; empty when there are none.
std::string unread_files_text(const std::vector<std::string>& files);
