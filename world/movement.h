// The world's arithmetic: how the player steps, where the camera looks and where the name label
// goes. No SDL here, so every rule can be checked in a table without a window.
#pragma once

#include <cstdint>

constexpr int player_size = 32;        // sprite width and height in pixels
constexpr float player_speed = 128.0f; // pixels per second along each axis
constexpr int player_half = 16;        // offset from the sprite's edge to its middle

// Which ways the player walks during this pass, from every device at once (app/input.h): a key,
// a pad or a finger held toward a way sets it, so two devices held alike walk no faster than one.
struct HeldDirections {
    bool up = false;
    bool down = false;
    bool left = false;
    bool right = false;
};

constexpr HeldDirections operator|(HeldDirections a, HeldDirections b) {
    return {a.up || b.up, a.down || b.down, a.left || b.left, a.right || b.right};
}

// Moves (x, y) by delta_ms worth of speed for each held way, in the order up, down, left, right,
// each clamped to the map on its own. Opposite ways cancel except where a clamp intervenes; a
// diagonal is the sum of both axes, as with two keys.
void step_player(float& x, float& y, HeldDirections keys, std::uint32_t delta_ms, int map_width,
                 int map_height);

struct CameraOrigin {
    std::int16_t x;
    std::int16_t y;
};

// Top-left map corner of a view_w x view_h camera centred on the sprite at (x, y), kept inside
// the map. On a map smaller than the view the result is negative: the map hugs the far edge.
CameraOrigin camera_origin(float x, float y, int screen_width, int screen_height, int map_width,
                           int map_height, std::uint16_t view_w, std::uint16_t view_h);

struct ScreenPoint {
    int x;
    int y;
};

// Window position of a label_w x label_h label centred 16 pixels above the top edge of the
// sprite at (px, py), the player's position truncated toward zero.
ScreenPoint label_position(int px, int py, int label_w, int label_h, int camera_x, int camera_y);

// Truncates toward zero to int, saturating far outside int's range instead of overflowing.
int truncate_to_int(float value);
