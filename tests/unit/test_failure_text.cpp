// What the player is told when the game cannot start: what failed, with the values read.
#include "app/failure_text.h"

#include <gtest/gtest.h>

TEST(FailureText, NamesWhatFailedTheSettingsBehindItAndTheFilesNotRead) {
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
        std::string text, expected;
    } rows[] = {
        {start_failure_text(StartStep::video_mode, chosen, "SDL_SetVideoMode: No video mode"),
         "The window could not be opened in the video mode 1600x1200 at 7 bits per pixel, full "
         "screen at scale auto.\nThe settings that chose it ([video] in config.ini): "
         "screen_width = 1600, screen_height = 1200, screen_bpp = 7, screen_fullscreen = 1, "
         "screen_scale = auto.\nSDL_SetVideoMode: No video mode\n"},
        {start_failure_text(StartStep::sound, chosen, ""),
         "The sound could not be opened at -1 Hz, 6 channels and a buffer of 512 sample frames.\n"
         "The settings that chose it ([audio] in config.ini): audio_frequency = -1, "
         "audio_channels = 6, audio_chunksize = 512.\nThe mixer takes a rate from 8000 to 192000 "
         "Hz, and no negative channel count or buffer (0 for any: SDL's default).\n"},
        {unread_files_text({"config.ini", "img/player2.png", "audio/softworld.wav"}),
         "Not found, or not readable, in the game's folder: config.ini (so every setting was its "
         "default), img/player2.png and audio/softworld.wav.\n"},
        {unread_files_text({}), ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected, row.text);
    }
}
