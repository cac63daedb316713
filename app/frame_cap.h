// Frame-cap arithmetic of the frame loop, kept free of SDL so it can be checked without a window.
#pragma once

// True when the loop should wait out each frame: the cap is switched on (exactly 1) and there is
// a rate to divide by. A rate of 0 would divide by zero, so it runs uncapped instead.
bool frame_cap_enabled(int enable_fps_cap, int frames_per_second);

// Milliseconds per frame at frames_per_second (integer division: 60 gives 16). Zero or negative
// for rates above 1000, which therefore never sleep. frames_per_second must not be 0.
int frame_time_ms(int frames_per_second);

// How long to sleep once a pass has taken elapsed_ms of a frame_ms frame; 0 means no sleep.
int frame_cap_delay(int frame_ms, int elapsed_ms);
