#include "world/player.h"

#include "app/display_watch.h"
#include "app/startup.h"
#include "media/media.h"
#include "settings/settings.h"
#include "world/movement.h"

SDL_Rect camera = {0, 0, 0, 0};

Player::Player() : x(0), y(0) {}

Player::Player(int x_, int y_) : x(static_cast<float>(x_)), y(static_cast<float>(y_)) {}

ArrowKeys held_arrow_keys() {
    if (keyboard_grabbed_elsewhere()) {
        return ArrowKeys{}; // a key let go now is not seen until the grab ends: stand still
    }
    const Uint8* held = SDL_GetKeyState(nullptr);
    ArrowKeys keys;
    keys.up = held[SDLK_UP] != 0;
    keys.down = held[SDLK_DOWN] != 0;
    keys.left = held[SDLK_LEFT] != 0;
    keys.right = held[SDLK_RIGHT] != 0;
    return keys;
}

void Player::move(Uint32 deltaTicks) {
    step_player(x, y, held_arrow_keys(), deltaTicks, settings.map_width, settings.map_height);
}

void Player::set_camera() {
    const CameraOrigin origin = camera_origin(x, y, camera.w, camera.h, settings.map_width,
                                              settings.map_height, camera.w, camera.h);
    camera.x = origin.x;
    camera.y = origin.y;
}

void Player::show() {
    apply_surface(truncate_to_int(x) - camera.x, truncate_to_int(y) - camera.y, player_sprite,
                  screen);
}

void Player::get_position(int& x_out, int& y_out) {
    x_out = truncate_to_int(x);
    y_out = truncate_to_int(y);
}
