// libFuzzer target for the settings loader: any bytes as config.ini must load without a crash,
// load the same way twice, load the same with a UTF-8 byte-order mark in front (README: "a
// leading UTF-8 byte-order mark is fine"), and, taken as UTF-16 code units, load the same in
// either byte order.
#include "settings/settings.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort(); // libFuzzer saves the input as a crash
    }
}

bool same(const Settings& a, const Settings& b) {
    return a.screen_width == b.screen_width && a.screen_height == b.screen_height &&
           a.screen_bpp == b.screen_bpp && a.screen_fullscreen == b.screen_fullscreen &&
           a.frames_per_second == b.frames_per_second && a.enable_fps_cap == b.enable_fps_cap &&
           a.audio_frequency == b.audio_frequency && a.audio_channels == b.audio_channels &&
           a.audio_chunksize == b.audio_chunksize && a.map_width == b.map_width &&
           a.map_height == b.map_height && a.server_ip == b.server_ip &&
           a.server_port == b.server_port && a.username == b.username;
}

// One scratch file for the whole run, removed at exit; load_config only takes a path.
const std::string& scratch_path() {
    static const std::string path = [] {
        std::string name =
            (std::filesystem::temp_directory_path() / "fuzz-settings-XXXXXX").string();
        const int fd = mkstemp(name.data());
        check(fd >= 0);
        close(fd);
        std::atexit([] { std::remove(scratch_path().c_str()); });
        return name;
    }();
    return path;
}

Settings load(const std::string& contents) {
    {
        std::ofstream out(scratch_path(), std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        check(out.good());
    }
    // Poisoned so a field that load_config forgets to set shows up as a difference.
    settings = Settings{};
    settings.screen_width = -12345;
    settings.username = "poison";

    std::ostringstream log;
    std::streambuf* const saved = std::cout.rdbuf(log.rdbuf());
    load_config(scratch_path());
    std::cout.rdbuf(saved);

    check(log.str() == "Loading config file: " + scratch_path() + "\nConfig loaded!\n");
    return settings;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string contents(reinterpret_cast<const char*>(data), size);
    const Settings first = load(contents);
    check(same(first, load(contents)));
    check(first.username != "poison" || contents.find("poison") != std::string::npos);

    static const std::string bom = "\xEF\xBB\xBF";
    const bool utf16 =
        contents.compare(0, 2, "\xFF\xFE") == 0 || contents.compare(0, 2, "\xFE\xFF") == 0;
    if (contents.compare(0, bom.size(), bom) != 0 && !utf16) {
        check(same(first, load(bom + contents)));
    }

    std::string swapped = contents;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) {
        std::swap(swapped[i], swapped[i + 1]);
    }
    check(same(load("\xFF\xFE" + contents), load("\xFE\xFF" + swapped)));
    return 0;
}
