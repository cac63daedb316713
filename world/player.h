// The player's character: where it stands on the map, how the held directions move it, and the
// camera that follows it.
#pragma once

#include "world/movement.h"

#include <SDL.h>

#include <cstdint>

// The view onto the map, in map pixels: x and y are the map point at the window's top-left
// corner, w and h the window's size. Set by main before the first pass, then by set_camera.
extern SDL_Rect camera;

class Player {
  public:
    Player();
    Player(int x, int y);

    // Moves by deltaTicks ms worth of speed for each way held (app/input.h), kept inside the map.
    void move(Uint32 deltaTicks, HeldDirections held);
    // Centres the camera on the sprite, kept inside the map.
    void set_camera();
    // Draws the sprite at its place in the window.
    void show();
    // Position truncated toward zero.
    void get_position(int& x, int& y);

  private:
    float x;
    float y;
};
