#include "world/label.h"

#include "app/startup.h"
#include "media/media.h"
#include "settings/settings.h"
#include "world/movement.h"
#include "world/player.h"

TTF_Font* font = nullptr;
SDL_Surface* name_label = nullptr;

void make_name_label() {
    font = TTF_OpenFont("calibri.ttf", 12);
    if (font == nullptr) {
        return; // SDL_ttf's render calls crash on a null font
    }
    const SDL_Color white = {255, 255, 255, 0};
    // config.ini is UTF-8; the Latin-1 variant would garble names such as "Zoë".
    name_label = TTF_RenderUTF8_Solid(font, settings.username.c_str(), white);
}

void draw_name_label(Player& player) {
    if (name_label == nullptr) {
        return; // its size, and so its place, is unknown
    }
    int px = 0;
    int py = 0;
    player.get_position(px, py);
    const ScreenPoint at = label_position(px, py, name_label->w, name_label->h, camera.x, camera.y);
    apply_surface(at.x, at.y, name_label, screen);
}
