#include "settings/settings.h"

#include "settings/text_encoding.h"

#include <SimpleIni.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
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

// A value the program cannot use: one line naming the file, the key and what applies instead, so
// a player who mistyped it learns why the game ignores it.
void warn_bad_value(const std::string& path, const char* key, const std::string& value,
                    const char* wanted, const char* instead) {
    std::cout << path << ": " << key << " \"" << value << "\" is not " << wanted << "; using "
              << instead << std::endl;
}

// "auto" (any case) or a whole number from 1 to max_screen_scale, alone or before a comment
// (SimpleIni keeps "2 ; sharp" whole); anything else is no scale at all.
bool parse_screen_scale(std::string text, int& scale) {
    const std::size_t comment = text.find_first_of(";#");
    if (comment != std::string::npos) {
        text.erase(comment);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    std::string lower;
    for (const char c : text) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lower == "auto") {
        scale = auto_screen_scale;
        return true;
    }
    if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    scale = std::atoi(text.c_str());
    return scale >= 1 && scale <= max_screen_scale;
}

// The whole file, read as SimpleIni's LoadFile reads it; empty when it cannot be read.
std::string file_contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// [controls]: each direction's keys by name; a list refused keeps that direction's default.
void read_controls(const CSimpleIniA& ini, const std::string& path) {
    std::array<std::string, direction_count> texts;
    for (int d = 0; d < direction_count; ++d) {
        texts[d] = ini.GetValue("controls", direction_names[d], default_controls[d]);
    }
    settings.controls = read_bindings(texts, [&](int d, const std::string& why) {
        warn_bad_value(path, direction_names[d], texts[d], why.c_str(), default_controls[d]);
    });
}

} // namespace

bool load_config(const std::string& path) {
    std::cout << "Loading config file: " << path << std::endl;

    CSimpleIniA ini(false, false, false);
    const bool found = is_regular_file(path) && std::ifstream(path).is_open();
    if (found) {
        // SimpleIni reads bytes as they are: a file saved as UTF-16 would give every default.
        // An unreadable file leaves the reader empty: defaults apply.
        ini.LoadData(utf8_from_utf16_with_bom(file_contents(path)));
    }

    for (const IntKey& k : int_keys) {
        settings.*k.field = std::atoi(ini.GetValue(k.section, k.key, k.default_text));
    }
    const std::string scale = ini.GetValue("video", "screen_scale", "1");
    if (!parse_screen_scale(scale, settings.screen_scale)) {
        settings.screen_scale = 1;
        warn_bad_value(path, "screen_scale", scale, "auto or a whole number from 1 to 8", "1");
    }
    settings.server_ip = ini.GetValue("network", "server_ip", "localhost");
    settings.server_port = std::atoi(ini.GetValue("network", "server_port", "1337"));
    // The label draws UTF-8; a name saved as "ANSI" would lose its accented letters.
    settings.username = utf8_or_windows_1252(ini.GetValue("network", "username", "Unnamed"));
    read_controls(ini, path);

    std::cout << "Config loaded!" << std::endl;
    return found;
}
