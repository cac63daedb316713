// What the player is told when the game cannot start: the settings named with the values read.
#include "app/failure_text.h"

#include <gtest/gtest.h>

TEST(FailureText, NamesWhatFailedWithTheSettingsThatChoseIt) {
    Settings chosen;
    chosen.screen_width = 1600;
    chosen.screen_height = 1200;
    chosen.screen_bpp = 7;
    chosen.screen_fullscreen = 1;
    chosen.screen_scale = auto_screen_scale;
    chosen.audio_frequency = -1;
    chosen.audio_channels = 6;
    chosen.audio_chunksize = 512;
    const struct {
        StartStep step;
        const char* cause;
        const char* text;
    } rows[] = {
        {StartStep::video_mode, "SDL_SetVideoMode: No video mode large enough",
         "The window could not be opened in the video mode 1600x1200 at 7 bits per pixel, full "
         "screen at scale auto.\nThe settings that chose it ([video] in config.ini): "
         "screen_width = 1600, screen_height = 1200, screen_bpp = 7, screen_fullscreen = 1, "
         "screen_scale = auto.\n"
         "SDL_SetVideoMode: No video mode large enough\n"},
        {StartStep::video_mode, "",
         "The window could not be opened in the video mode 1600x1200 at 7 bits per pixel, full "
         "screen at scale auto.\nThe settings that chose it ([video] in config.ini): "
         "screen_width = 1600, screen_height = 1200, screen_bpp = 7, screen_fullscreen = 1, "
         "screen_scale = auto.\n"
         "SDL holds a window up to 16383 pixels wide and 65535 high whose pixels fit in 2 GiB, at "
         "8, 16, 24 or 32 bits per pixel (0 for any: the desktop's).\n"},
        {StartStep::sound, "",
         "The sound could not be opened at -1 Hz, 6 channels and a buffer of 512 sample frames.\n"
         "The settings that chose it ([audio] in config.ini): audio_frequency = -1, "
         "audio_channels = 6, audio_chunksize = 512.\nThe mixer takes a rate from 8000 to 192000 "
         "Hz, and no negative channel count or buffer (0 for any: SDL's default).\n"},
        {StartStep::sdl, "SDL_Init: No available video device",
         "SDL could not start its timer, sound and video.\nSDL_Init: No available video device\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.text, start_failure_text(row.step, chosen, row.cause));
    }
    chosen.screen_fullscreen = 0;
    chosen.screen_scale = 3;
    EXPECT_NE(
        std::string::npos,
        start_failure_text(StartStep::video_mode, chosen, "").find("in a window at scale 3.\n"));
}

TEST(FailureText, ListsTheFilesNotRead) {
    const struct {
        std::vector<std::string> files;
        const char* text;
    } rows[] = {
        {{}, ""},
        {{"img/player2.png"},
         "Not found, or not readable, in the game's folder: img/player2.png.\n"},
        {{"config.ini", "img/player2.png", "audio/softworld.wav"},
         "Not found, or not readable, in the game's folder: config.ini (so every setting was its "
         "default), img/player2.png and audio/softworld.wav.\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.text, unread_files_text(row.files));
    }
}
