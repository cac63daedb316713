#include "world/player.h"

#include "app/startup.h"
#include "media/media.h"
#include "settings/settings.h"
#include "world/movement.h"

SDL_Rect camera = {0, 0, 0, 0};

Player::Player() : x(0), y(0) {}

Player::Player(int x_, int y_) : x(static_cast<float>(x_)), y(static_cast<float>(y_)) {}

void Player::move(Uint32 deltaTicks, HeldDirections held) {
    step_player(x, y, held, deltaTicks, settings.map_width, settings.map_height);
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
