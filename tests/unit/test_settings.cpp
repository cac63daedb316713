// load_config against real files: defaults, sections, case, atoi and the INI dialect.
#include "settings/settings.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

Settings load(const std::string* contents) {
    settings = Settings{};
    if (contents == nullptr) {
        EXPECT_FALSE(load_config("/nonexistent/config.ini"));
    } else {
        const std::string path = scratch_path("config.ini");
        std::ofstream(path, std::ios::binary) << *contents;
        EXPECT_TRUE(load_config(path));
        std::remove(path.c_str());
    }
    return settings;
}

const Settings defaults = [] {
    Settings s;
    s.screen_width = 640;
    s.screen_height = 480;
    s.screen_bpp = 32;
    s.screen_fullscreen = 0;
    s.screen_scale = 1;
    s.frames_per_second = 60;
    s.enable_fps_cap = 1;
    s.audio_frequency = 44100;
    s.audio_channels = 2;
    s.audio_chunksize = 1024;
    s.map_width = 1280;
    s.map_height = 960;
    s.server_ip = "localhost";
    s.server_port = 1337;
    s.username = "Unnamed";
    return s;
}();

void expect_same(const Settings& want, const Settings& got, const std::string& label) {
    SCOPED_TRACE(label);
    EXPECT_EQ(want.screen_width, got.screen_width);
    EXPECT_EQ(want.screen_height, got.screen_height);
    EXPECT_EQ(want.screen_bpp, got.screen_bpp);
    EXPECT_EQ(want.screen_fullscreen, got.screen_fullscreen);
    EXPECT_EQ(want.screen_scale, got.screen_scale);
    EXPECT_EQ(want.frames_per_second, got.frames_per_second);
    EXPECT_EQ(want.enable_fps_cap, got.enable_fps_cap);
    EXPECT_EQ(want.audio_frequency, got.audio_frequency);
    EXPECT_EQ(want.audio_channels, got.audio_channels);
    EXPECT_EQ(want.audio_chunksize, got.audio_chunksize);
    EXPECT_EQ(want.map_width, got.map_width);
    EXPECT_EQ(want.map_height, got.map_height);
    EXPECT_EQ(want.server_ip, got.server_ip);
    EXPECT_EQ(want.server_port, got.server_port);
    EXPECT_EQ(want.username, got.username);
}

// text as Notepad's "Unicode" saves it: a byte-order mark, then UTF-16 in either byte order.
std::string utf16(const std::u16string& text, bool big_endian) {
    std::string bytes;
    for (const char16_t unit : u"\uFEFF" + text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

// Notepad ends the last line without a line end.
const std::u16string notepad = u"[video]\r\nscreen_width=800\r\n[NETWORK]\r\nusername=Zoë 😀";

template <typename F> Settings with(F change) {
    Settings s = defaults;
    change(s);
    return s;
}

} // namespace

TEST(Settings, NoFileGivesEveryDefault) {
    expect_same(defaults, load(nullptr), "no file");
}

TEST(Settings, FileContentsTable) {
    const Settings from_notepad = with([](Settings& s) {
        s.screen_width = 800;
        s.username = "Zo\xC3\xAB \xF0\x9F\x98\x80";
    });
    const struct {
        const char* label;
        std::string ini;
        Settings want;
    } rows[] = {
        {"empty file", "", defaults},
        {"every key from its section",
         "[video]\nscreen_width=800\nscreen_height=600\nscreen_bpp=16\nscreen_fullscreen=1\n"
         "frames_per_second=30\nenable_fps_cap=0\n[audio]\naudio_frequency=22050\n"
         "audio_channels=1\naudio_chunksize=512\n[map]\nmap_width=2000\nmap_height=1500\n"
         "[network]\nserver_ip=10.1.2.3\nserver_port=4000\nusername=Bracken\n",
         with([](Settings& s) {
             s.screen_width = 800;
             s.screen_height = 600;
             s.screen_bpp = 16;
             s.screen_fullscreen = 1;
             s.frames_per_second = 30;
             s.enable_fps_cap = 0;
             s.audio_frequency = 22050;
             s.audio_channels = 1;
             s.audio_chunksize = 512;
             s.map_width = 2000;
             s.map_height = 1500;
             s.server_ip = "10.1.2.3";
             s.server_port = 4000;
             s.username = "Bracken";
         })},
        {"names compared without regard to case", "[VIDEO]\nScreen_Width = 1024\n",
         with([](Settings& s) { s.screen_width = 1024; })},
        {"atoi: leading digits", "[video]\nscreen_width=800abc\n",
         with([](Settings& s) { s.screen_width = 800; })},
        {"atoi: letters only", "[video]\nscreen_width=wide\n",
         with([](Settings& s) { s.screen_width = 0; })},
        {"atoi: sign and leading spaces", "[video]\nframes_per_second=\t -25\nscreen_bpp=+8\n",
         with([](Settings& s) {
             s.frames_per_second = -25;
             s.screen_bpp = 8;
         })},
        {"atoi: empty value", "[map]\nmap_width=\n", with([](Settings& s) { s.map_width = 0; })},
        {"key in the wrong section", "[audio]\nscreen_width=999\n", defaults},
        {"key before the first header", "screen_width=999\n[video]\n", defaults},
        {"key given twice: the later wins", "[video]\nscreen_width=1\nscreen_width=2\n",
         with([](Settings& s) { s.screen_width = 2; })},
        {"comments", "; screen_width=1\n[video]\n# screen_width=2\nscreen_height=300\n",
         with([](Settings& s) { s.screen_height = 300; })},
        {"inline text after a number stays in the value", "[video]\nframes_per_second=30 ; slow\n",
         with([](Settings& s) { s.frames_per_second = 30; })},
        {"CRLF line ends", "[network]\r\nusername=Windows\r\nserver_port=99\r\n",
         with([](Settings& s) {
             s.username = "Windows";
             s.server_port = 99;
         })},
        {"byte-order mark is skipped, first header still read",
         "\xEF\xBB\xBF[video]\nscreen_width=720\n[network]\nusername=Zo\xC3\xAB\n",
         with([](Settings& s) {
             s.screen_width = 720;
             s.username = "Zo\xC3\xAB";
         })},
        {"UTF-16 LE", utf16(notepad, false), from_notepad},
        {"UTF-16 BE", utf16(notepad, true), from_notepad},
        {"UTF-16: lone surrogates and an odd last byte are U+FFFD",
         utf16(u"[network]\nusername=\xD800-\xDC00\xDBFF\xDFFF", false) + "c",
         with([](Settings& s) {
             s.username = "\xEF\xBF\xBD-\xEF\xBF\xBD\xF4\x8F\xBF\xBF\xEF\xBF\xBD";
         })},
        {"text values copied whole", "[network]\nusername=Sir Bracken of the Reach\n",
         with([](Settings& s) { s.username = "Sir Bracken of the Reach"; })},
        {"binary garbage", std::string("\x00\xff\x01[\x80]\n=\n\xfe", 10), defaults},
    };
    for (const auto& row : rows) {
        expect_same(row.want, load(&row.ini), row.label);
    }
}

// screen_scale is a word or a small number: what is not one of them is 1, with one line saying so.
TEST(Settings, ScreenScaleTable) {
    const struct {
        const char* value;
        int scale; // 0: auto; -1: 1, and the warning
    } rows[] = {{"2", 2},  {"8", 8},   {"auto", 0},      {"AUTO", 0}, {"3 ; sharp", 3},
                {"9", -1}, {"0", -1},  {"10", -1},       {"1.5", -1}, {"2x", -1},
                {"", -1},  {"-2", -1}, {"automatic", -1}};
    for (const auto& row : rows) {
        const std::string ini = std::string("[video]\nscreen_scale = ") + row.value + "\n";
        testing::internal::CaptureStdout();
        const int got = load(&ini).screen_scale;
        const std::string log = testing::internal::GetCapturedStdout();
        const std::string warning = std::string(": screen_scale \"") + row.value +
                                    "\" is not auto or a whole number from 1 to 8; using 1\n";
        EXPECT_EQ(row.scale < 0 ? 1 : row.scale, got) << row.value;
        EXPECT_EQ(row.scale < 0, log.find(warning + "Config loaded!") != std::string::npos) << log;
        EXPECT_EQ(row.scale < 0 ? 3 : 2, std::count(log.begin(), log.end(), '\n')) << log;
    }
}

// The label draws UTF-8: a name that is not valid UTF-8 was saved as "ANSI" (Windows-1252).
TEST(Settings, UsernameTable) {
    const std::pair<const char*, const char*> rows[] = {
        {"Zo\xEB \xC5ngstr\xF6m \x80\x9F\x81",
         "Zo\xC3\xAB \xC3\x85ngstr\xC3\xB6m \xE2\x82\xAC\xC5\xB8\xC2\x81"},
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                                 // an overlong form
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},                 // a surrogate
        {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"}, // past U+10FFFF
        {"Zo\xC3", "Zo\xC3\x83"},                                         // a cut sequence
        {"\xC5sa", "\xC3\x85sa"},                                         // no continuation
        {"\xED\xBF\xBF", "\xC3\xAD\xC2\xBF\xC2\xBF"},                     // the last surrogate
        {"\x84\x80\x80\x80", "\xE2\x80\x9E\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"}, // no lead
        {"\xC2\xA9\xDF\xBF\xE0\xA0\x80\xF4\x8F\xBF\xBF", // valid at each form's edges: kept
         "\xC2\xA9\xDF\xBF\xE0\xA0\x80\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [saved, shown] : rows) {
        const std::string ini = std::string("[network]\nusername=") + saved + "\n";
        EXPECT_EQ(shown, load(&ini).username) << saved;
    }
}

TEST(Settings, DirectoryNamedLikeTheFileGivesDefaults) {
    namespace fs = std::filesystem;
    const fs::path dir = scratch_path("config-dir.ini");
    ASSERT_TRUE(fs::create_directory(dir));
    settings = Settings{};
    EXPECT_FALSE(load_config(dir.string()));
    expect_same(defaults, settings, "directory");
    fs::remove(dir);
}

TEST(Settings, LogsBeforeAndAfter) {
    testing::internal::CaptureStdout();
    load(nullptr);
    EXPECT_EQ("Loading config file: /nonexistent/config.ini\nConfig loaded!\n",
              testing::internal::GetCapturedStdout());
}

// [controls]: keys by SDL's names, in any case; a list refused keeps its direction's default, with
// one line naming the key and the list. Row: the section's lines, the four directions' keys as SDL
// names them, the lines of warning, and what they must say.
TEST(Settings, ControlsTable) {
    const std::string keep = "up w|down s|left a|right d";
    const struct {
        const char* ini;
        std::string keys;
        long warnings;
        std::vector<std::string> said;
    } rows[] = {
        {"", keep, 0, {}},
        {"up = Z, Up\nleft = q, LEFT", "z up|down s|q left|right d", 0, {}},
        {"up = Up, W ; arrows\ndown = Page Down, [2]", "up w|page down [2]|left a|right d", 0, {}},
        {"up = ;\ndown = #, space", ";|# space|left a|right d", 0, {}},
        {"up =", "|down s|left a|right d", 0, {}},
        {"right = World 7, Right Shift, f12", "up w|down s|left a|world 7 right shift f12", 0, {}},
        {"up = S\ndown = W", "s|w|left a|right d", 0, {}},
        {"up = Up, Wx",
         keep,
         1,
         {": up \"Up, Wx\" is not key names (\"Wx\" names no key); using Up, W\n"}},
        {"left = Left, Ctrl", keep, 1, {"left \"Left, Ctrl\"", "(\"Ctrl\" names no key)"}},
        {"up = S",
         keep,
         1,
         {"up \"S\" is not keys of its own (\"s\" walks down too); using Up, W"}},
        {"up = D\nright = D", keep, 2, {"right \"D\"", "up \"D\""}},
        {"down = a, b, c, e, f, g, h, i, j", keep, 1, {"down \"a, b,", "at most 8 key names"}},
    };
    for (const auto& row : rows) {
        const std::string ini = std::string("[controls]\n") + row.ini + "\n";
        testing::internal::CaptureStdout();
        const Settings got = load(&ini);
        const std::string log = testing::internal::GetCapturedStdout();
        std::string keys;
        for (int d = 0; d < direction_count; ++d) {
            keys += d == 0 ? "" : "|";
            for (int k = 0; k < got.controls[d].count; ++k) {
                keys += (k == 0 ? "" : " ") + key_name(got.controls[d].keys[k]);
            }
        }
        EXPECT_EQ(row.keys, keys) << row.ini;
        EXPECT_EQ(2 + row.warnings, std::count(log.begin(), log.end(), '\n')) << log;
        for (const std::string& part : row.said) {
            EXPECT_NE(std::string::npos, log.find(part)) << row.ini << "\n" << log;
        }
    }
}

// The config.ini we ship shows every key at its default: loading it changes nothing, says nothing.
TEST(Settings, ShippedFileIsTheDefaults) {
    std::ifstream file(BRACKENREACH_SOURCE_DIR "/data/config.ini", std::ios::binary);
    const std::string shipped{std::istreambuf_iterator<char>(file), {}};
    testing::internal::CaptureStdout();
    const Settings got = load(&shipped);
    const std::string log = testing::internal::GetCapturedStdout();
    expect_same(defaults, got, "shipped config.ini");
    EXPECT_EQ(2, std::count(log.begin(), log.end(), '\n')) << log;
}
