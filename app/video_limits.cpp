#include "app/video_limits.h"

#include <climits>

namespace {
// The largest pixel a window surface can end up with, whatever depth was asked for: on a
// 24- or 32-bit display SDL draws through a 4-byte surface.
constexpr long long max_bytes_per_pixel = 4;
// SDL 1.2 keeps a surface row's length in bytes in 16 bits.
constexpr long long max_pitch = 65535;
// X11 window sizes (and the camera's width and height) are 16-bit.
constexpr int max_side = 65535;
// SDL 1.2 converts the music to the mixer's rate by doubling or halving it one step at a time,
// each step taking a slot in a fixed table of ten that format and channel conversions share; a
// rate far from the music's runs past the table and corrupts the heap (2147483647 and 1 both
// crash with our 22050 Hz music). Telephone to studio rates leave a music file anywhere in that
// range at most five rate steps away, which fits.
constexpr int min_frequency = 8000;
constexpr int max_frequency = 192000;
} // namespace

bool video_mode_acceptable(int width, int height, int bpp) {
    // Depths that are not whole bytes make SDL's dummy driver allocate too small a buffer and
    // overwrite the heap; 0 means the desktop's depth.
    if (bpp != 0 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
        return false;
    }
    // 0 is SDL's "use the desktop size" and stays allowed.
    if (width < 0 || height < 0 || width > max_side || height > max_side) {
        return false;
    }
    if (width * max_bytes_per_pixel > max_pitch) {
        return false;
    }
    // Some drivers size the pixel buffer in an int; past that it wraps and memory is trampled.
    return width * max_bytes_per_pixel * height <= INT_MAX;
}

bool audio_settings_acceptable(int frequency, int channels, int chunksize) {
    // 0 asks SDL for its default (22050 Hz, stereo, a buffer sized for the rate) on either
    // runtime, so it plays and closes like any other value in range.
    const bool rate_ok =
        frequency == 0 || (frequency >= min_frequency && frequency <= max_frequency);
    return rate_ok && channels >= 0 && chunksize >= 0;
}
