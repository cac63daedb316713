// Brackenreach client: reads config.ini, opens the window, connects to the game server, then
// runs the frame loop until the window is closed.

#include "app/display_watch.h"
#include "app/failure_text.h"
#include "app/frame_loop.h"
#include "app/process_edge.h"
#include "app/render_path.h"
#include "app/startup.h"
#include "media/media.h"
#include "net/link.h"
#include "settings/settings.h"
#include "world/label.h"
#include "world/player.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Set while the frame loop runs. A window destroyed from outside (as xkill does) or a display
// that goes away ends the process from inside SDL: the X error handlers call exit(1). The
// server is told goodbye on that way out too; the status stays SDL's.
bool goodbye_owed = false;

void say_goodbye_if_owed() {
    if (goodbye_owed) {
        goodbye_owed = false;
        send_message("exit");
    }
}

// Every way out, early returns included, must shut SDL down and give the display mode back;
// after the display has gone there is nothing to give back, and no one to answer SDL. The threads
// SDL runs beside the loop (sound, timer) must stop all the same: sdl12-compat unloads SDL 2
// as the process ends, and a thread that wakes in it then crashes the process.
void shut_sdl_down() {
    if (display_lost()) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO | SDL_INIT_TIMER);
        return;
    }
    SDL_Quit();
}

} // namespace

int main(int /*argc*/, char* /*argv*/[]) {
    keep_log_file();      // before the first log line
    choose_render_path(); // before anything starts SDL
    std::atexit(shut_sdl_down);

    // The game's files it could not read: a game started from another folder finds none.
    std::vector<std::string> unread;
    const auto note = [&unread](bool read, const char* file) {
        if (!read) {
            unread.emplace_back(file);
        }
    };
    note(load_config("config.ini"), "config.ini");
    if (!init()) {
        std::cout << "Error while initializing!" << std::endl;
        tell_player_of_failure(init_failure() + unread_files_text(unread));
        return 0;
    }

    connect_to_server(settings.server_ip, settings.server_port); // the game runs offline too

    player_sprite = load_image("img/player2.png");
    background = load_image("img/background3.png");
    music = Mix_LoadMUS("audio/softworld.wav"); // a failure shows when the first pass plays it
    make_name_label();
    note(player_sprite != nullptr, "img/player2.png");
    note(background != nullptr, "img/background3.png");
    note(music != nullptr, "audio/softworld.wav");
    note(font != nullptr, "calibri.ttf");

    camera.x = 0;
    camera.y = 0;
    // The window's real size: a width or height of 0 in the settings gets the desktop's.
    camera.w = static_cast<Uint16>(screen->w);
    camera.h = static_cast<Uint16>(screen->h);
    Player player(400, 300);

    std::atexit(say_goodbye_if_owed); // runs before shut_sdl_down, registered earlier
    goodbye_owed = true;
    const LoopEnd end = run_frame_loop(player);
    goodbye_owed = false;
    if (end == LoopEnd::music_failed) {
        // Linux's log says nothing of it; on Windows the box and the log file do.
        tell_player_of_failure("The music (audio/softworld.wav) could not be played.\n" +
                               unread_files_text(unread));
        return 1; // no goodbye: the game ended on its own fault
    }

    send_message("exit");
    clean_up();
    return 0;
}
