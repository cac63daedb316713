#include "app/failure_text.h"

#include <sstream>

namespace {

std::string scale_text(int scale) {
    return scale == auto_screen_scale ? "auto" : std::to_string(scale);
}

// "a, b and c"
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
}

} // namespace

std::string start_failure_text(StartStep step, const Settings& chosen, const std::string& cause) {
    std::ostringstream text;
    switch (step) {
    case StartStep::sdl:
        text << "SDL could not start its timer, sound and video.\n";
        break;
    case StartStep::network:
        text << "SDL_net could not start.\n";
        break;
    case StartStep::fonts:
        text << "SDL_ttf could not start.\n";
        break;
    case StartStep::sound:
        text << "The sound could not be opened at " << chosen.audio_frequency << " Hz, "
             << chosen.audio_channels << " channels and a buffer of " << chosen.audio_chunksize
             << " sample frames.\nThe settings that chose it ([audio] in config.ini): "
                "audio_frequency = "
             << chosen.audio_frequency << ", audio_channels = " << chosen.audio_channels
             << ", audio_chunksize = " << chosen.audio_chunksize << ".\n";
        if (cause.empty()) {
            text << "The mixer takes a rate from 8000 to 192000 Hz, and no negative channel count "
                    "or buffer (0 for any: SDL's default).\n";
        }
        break;
    case StartStep::video_mode:
        text << "The window could not be opened in the video mode " << chosen.screen_width << "x"
             << chosen.screen_height << " at " << chosen.screen_bpp << " bits per pixel, "
             << (chosen.screen_fullscreen != 0 ? "full screen" : "in a window") << " at scale "
             << scale_text(chosen.screen_scale)
             << ".\nThe settings that chose it ([video] in config.ini): screen_width = "
             << chosen.screen_width << ", screen_height = " << chosen.screen_height
             << ", screen_bpp = " << chosen.screen_bpp
             << ", screen_fullscreen = " << chosen.screen_fullscreen
             << ", screen_scale = " << scale_text(chosen.screen_scale) << ".\n";
        if (cause.empty()) {
            text << "SDL holds a window up to 16383 pixels wide and 65535 high whose pixels fit "
                    "in 2 GiB, at 8, 16, 24 or 32 bits per pixel (0 for any: the desktop's).\n";
        }
        break;
    }
    if (!cause.empty()) {
        text << cause << "\n";
    }
    return text.str();
}

std::string unread_files_text(const std::vector<std::string>& files) {
    if (files.empty()) {
        return "";
    }
    std::vector<std::string> named;
    for (const std::string& file : files) {
        named.push_back(file == "config.ini" ? file + " (so every setting was its default)" : file);
    }
    return "Not found, or not readable, in the game's folder: " + listed(named) + ".\n";
}
