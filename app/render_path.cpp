#include "app/render_path.h"

#include "app/process_edge.h"

#include <SDL.h>

#include <cstdlib>

// sdl12-compat draws the game into an SDL 1.2 surface in memory, as classic SDL does, and hands
// each frame to an SDL 2 renderer. Left to itself SDL 2 picks OpenGL for that, which without a
// GPU is Mesa's software OpenGL: under X11 at 640x480 and the cap of 60 that cost 23 % of a core,
// 111 MB and 8 threads against classic SDL's 5 %, 28 MB and 3. SDL 2's software renderer writing
// straight into the window (no OpenGL framebuffer behind it: both variables, as either alone
// still loads OpenGL) shows the same pixels for 5 %, 30 MB and 3 threads, and it is the path
// classic SDL takes on any machine, GPU or not. Someone who set either variable has chosen.
//
// Full screen, sdl12-compat does not change the display mode as classic SDL did but scales every
// frame up to the desktop; nearest-neighbour scaling (SDL 2's default is linear) keeps the
// pixel art sharp and cost 14 % of a core instead of 23 % for 640x480 on a 1024x768 desktop.
void choose_render_path() {
    // sdl12-compat counts from 1.2.50; classic SDL 1.2 ended at 1.2.15.
    const SDL_version* linked = SDL_Linked_Version();
    if (linked->major != 1 || linked->minor != 2 || linked->patch < 50) {
        return;
    }
    set_environment("SDL12COMPAT_SCALE_METHOD", "nearest", false);
    if (std::getenv("SDL_RENDER_DRIVER") == nullptr &&
        std::getenv("SDL_FRAMEBUFFER_ACCELERATION") == nullptr) {
        set_environment("SDL_RENDER_DRIVER", "software", true);
        set_environment("SDL_FRAMEBUFFER_ACCELERATION", "0", true);
    }
}
