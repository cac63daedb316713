#include "app/frame_loop.h"

#include "app/frame_cap.h"
#include "app/input.h"
#include "app/startup.h"
#include "app/timer.h"
#include "app/window.h"
#include "media/media.h"
#include "net/link.h"
#include "settings/settings.h"
#include "world/label.h"
#include "world/player.h"

SDL_Event event;

LoopEnd run_frame_loop(Player& player) {
    const bool capped = frame_cap_enabled(settings.enable_fps_cap, settings.frames_per_second);
    const int frame_ms = capped ? frame_time_ms(settings.frames_per_second) : 0;

    Timer fps;   // restarted at the top of every pass
    Timer delta; // time since the last movement step
    delta.start();

    bool quit = false;
    while (!quit) {
        fps.start();

        // A quit request still lets this pass finish, draw and cap.
        while (SDL_PollEvent(&event)) {
            if (event.type == SDL_QUIT) {
                quit = true;
            }
        }
        if (quit_signalled != 0) {
            quit = true;
        }

        if (!keep_music_playing()) {
            return LoopEnd::music_failed;
        }

        // A finger walks the character toward it as the last frame showed them both.
        int px = 0;
        int py = 0;
        player.get_position(px, py);
        const HeldDirections held =
            held_directions(px - camera.x + player_half, py - camera.y + player_half);
        player.move(static_cast<Uint32>(delta.get_ticks()), held);
        delta.start();
        player.set_camera();

        player.get_position(px, py);
        send_position(px);

        draw_background(camera.x, camera.y);
        draw_name_label(player);
        player.show();
        show_frame();

        if (capped && fps.get_ticks() < frame_ms) {
            const int wait = frame_cap_delay(frame_ms, fps.get_ticks());
            if (wait > 0) {
                SDL_Delay(static_cast<Uint32>(wait));
            }
        }
    }
    return LoopEnd::quit;
}
