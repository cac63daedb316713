// How large the window is and where the game's picture goes in it, from the settings and what the
// desktop says about itself. The game always draws at its own size; a scale above 1 enlarges
// each pixel to a square of whole screen pixels. No SDL here, so a table checks every rule.
#pragma once

#include "settings/settings.h" // the screen_scale setting's range: auto_screen_scale, max_screen_scale

// What the desktop says about itself before the window opens; 0 where it says nothing.
struct Desktop {
    int width = 0; // its current mode: what full screen gets without a mode change
    int height = 0;
    int usable_width = 0; // the room a window may take (without panels and docks)
    int usable_height = 0;
    int dots_per_inch = 0; // the scale the player chose for the desktop, as 96 per 1x
};

struct WindowPlan {
    int game_width;   // the picture the game draws, and the camera's size
    int game_height;  // (0: SDL's choice, the desktop's size, as before scaling existed)
    int window_width; // what SDL is asked for
    int window_height;
    int scale; // screen pixels per game pixel; 1 draws straight into the window
    int x;     // the picture's top-left corner in the window
    int y;
    bool full_screen;
    bool chosen_by_auto; // the scale came from screen_scale = auto
};

// The desktop's own scale from its dots per inch: the nearest whole scale (halves up: 144 dpi,
// Windows' 150 %, is 2), at least 1; 0 when dpi is unknown (0 or less).
int scale_for_dpi(int dots_per_inch);

// The largest whole scale up to max_screen_scale at which width x height fits in room_width x
// room_height; 0 when not even 1 fits or any size is unknown (0 or less).
int largest_scale_that_fits(int width, int height, int room_width, int room_height);

// The window for the settings (screen_width, screen_height, screen_bpp, screen_scale with 0 for
// auto, screen_fullscreen) on desktop:
// - auto is the desktop's own scale where it says one, else the largest that fits the usable
//   area; either way no larger than fits the usable area, and at least 1;
// - at a scale above 1, a width or height of 0 (the desktop's) becomes the desktop's divided by
//   the scale; scale 1 when the desktop's size is unknown;
// - full screen takes the desktop's current mode whatever the scale and centres the picture at
//   the largest whole scale that fits; a game larger than the desktop, or a desktop of unknown
//   size, asks for a mode of the game's own size at scale 1 instead;
// - a window SDL would refuse (app/video_limits.h) falls back to scale 1.
WindowPlan plan_window(int width, int height, int bpp, int scale_setting, bool full_screen,
                       const Desktop& desktop);
