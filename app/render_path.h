// How the picture reaches the screen when SDL 1.2 is sdl12-compat (SDL 1.2's interface over
// SDL 2, the only SDL 1.2 of Debian 13): chosen before SDL starts, through SDL 2's and
// sdl12-compat's environment variables.
#pragma once

// Called first thing in main. On sdl12-compat: SDL 2 draws and presents in software
// (SDL_RENDER_DRIVER=software, SDL_FRAMEBUFFER_ACCELERATION=0) unless the user set either of
// those, and scales full screen by nearest neighbour unless SDL12COMPAT_SCALE_METHOD is set.
// Does nothing on classic SDL 1.2.
void choose_render_path();
