#include "settings/settings.h"

#include <SimpleIni.h>

#include <cstdlib>
#include <iostream>
#include <sys/stat.h>

Settings settings;

namespace {

struct IntKey {
    const char* section;
    const char* key;
    const char* default_text;
    int Settings::*field;
};

// Defaults are text and go through the same atoi as file values, so "60" in the file and the
// default 60 can never disagree.
const IntKey int_keys[] = {
    {"video", "screen_width", "640", &Settings::screen_width},
    {"video", "screen_height", "480", &Settings::screen_height},
    {"video", "screen_bpp", "32", &Settings::screen_bpp},
    {"video", "screen_fullscreen", "0", &Settings::screen_fullscreen},
    {"video", "frames_per_second", "60", &Settings::frames_per_second},
    {"video", "enable_fps_cap", "1", &Settings::enable_fps_cap},
    {"audio", "audio_frequency", "44100", &Settings::audio_frequency},
    {"audio", "audio_channels", "2", &Settings::audio_channels},
    {"audio", "audio_chunksize", "1024", &Settings::audio_chunksize},
    {"map", "map_width", "1280", &Settings::map_width},
    {"map", "map_height", "960", &Settings::map_height},
};

// SimpleIni opens anything fopen accepts; a directory or a device named config.ini would have it
// try to read an endless or bogus length, so only regular files are handed over.
bool is_regular_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

void load_config(const std::string& path) {
    std::cout << "Loading config file: " << path << std::endl;

    CSimpleIniA ini(false, false, false);
    if (is_regular_file(path)) {
        ini.LoadFile(path.c_str()); // an unreadable file leaves the reader empty: defaults apply
    }

    for (const IntKey& k : int_keys) {
        settings.*k.field = std::atoi(ini.GetValue(k.section, k.key, k.default_text));
    }
    settings.server_ip = ini.GetValue("network", "server_ip", "localhost");
    settings.server_port = std::atoi(ini.GetValue("network", "server_port", "1337"));
    settings.username = ini.GetValue("network", "username", "Unnamed");

    std::cout << "Config loaded!" << std::endl;
}
