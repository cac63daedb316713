// Brackenreach client: reads config.ini, opens the window, connects to the game server, then
// runs the frame loop until the window is closed.

#include "app/frame_loop.h"
#include "app/render_path.h"
#include "app/startup.h"
#include "media/media.h"
#include "net/link.h"
#include "settings/settings.h"
#include "world/label.h"
#include "world/player.h"

#include <cstdlib>
#include <iostream>

int main(int /*argc*/, char* /*argv*/[]) {
    choose_render_path(); // before anything starts SDL
    // Every way out, early returns included, must shut SDL down and give the display mode back.
    std::atexit(SDL_Quit);

    load_config("config.ini");
    if (!init()) {
        std::cout << "Error while initializing!" << std::endl;
        return 0;
    }

    connect_to_server(settings.server_ip, settings.server_port); // the game runs offline too

    player_sprite = load_image("img/player2.png");
    background = load_image("img/background3.png");
    music = Mix_LoadMUS("audio/softworld.wav"); // a failure shows when the first pass plays it
    make_name_label();

    camera.x = 0;
    camera.y = 0;
    // The window's real size: a width or height of 0 in the settings gets the desktop's.
    camera.w = static_cast<Uint16>(screen->w);
    camera.h = static_cast<Uint16>(screen->h);
    Player player(400, 300);

    if (run_frame_loop(player) == LoopEnd::music_failed) {
        return 1;
    }

    send_message("exit");
    clean_up();
    return 0;
}
