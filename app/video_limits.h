// Settings the libraries would accept and then fail on badly (a killed process, a hung mixer),
// refused up front so start-up fails cleanly instead.
#pragma once

// True when SDL may be asked for a width x height window at bpp bits per pixel. X11 ends the
// process over sizes that do not fit 16 bits, and SDL's buffers overflow on rows, screens or
// depths its types don't hold. Widths up to 16383, depths 8, 16, 24 and 32; 0 for any of them
// still means the desktop's.
bool video_mode_acceptable(int width, int height, int bpp);

// True when the mixer may be opened with these values: a rate from 8000 to 192000 Hz, and a
// channel count and buffer size that are not negative. 0 for any of them is SDL's default.
bool audio_settings_acceptable(int frequency, int channels, int chunksize);
