// Every tunable value of the client, read once from config.ini at start-up.
// A missing file, section or key falls back to the default, so the game runs with no file at all.
#pragma once

#include "settings/controls.h"

#include <string>

constexpr int auto_screen_scale = 0; // screen_scale = auto
constexpr int max_screen_scale = 8;

struct Settings {
    int screen_width = 0;
    int screen_height = 0;
    int screen_bpp = 0;
    int screen_fullscreen = 0; // 0 windowed, anything else full screen
    int screen_scale = 0;      // screen pixels per game pixel, 1 to 8; 0 for auto
    int frames_per_second = 0;
    int enable_fps_cap = 0;  // the cap is on only when exactly 1
    int audio_frequency = 0; // Hz
    int audio_channels = 0;
    int audio_chunksize = 0; // sample frames
    int map_width = 0;       // pixels
    int map_height = 0;
    std::string server_ip;
    int server_port = 0;
    std::string username;
    Bindings controls; // [controls]: the keys that walk each way
};

// Process-wide; filled by load_config at the top of main, read-only afterwards.
extern Settings settings;

// Reads the INI file at path into settings, logging before and after. Never fails: whatever
// can't be read keeps its default. False when path named no file it could read.
bool load_config(const std::string& path);
