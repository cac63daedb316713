// The server link's edge in the browser (web/SDL_net.h): the WebSocket opens while the browser
// runs, within the connect deadline (during play, while the passes go on), and a send that finds
// no room waits by handing control back to the browser, which alone moves queued messages on to
// the network.
#include "net/link_edge.h"

#include "net/link_bounds.h"
#include "web/page_glue.h"

#include <emscripten.h>
#include <netdb.h>

#include <algorithm>
#include <string>

namespace {

// The socket edge_open (or edge_open_poll) returned; null before and after a failure.
TCPsocket opened = nullptr;

// The WebSocket edge_open_start began; null when none is under way.
TCPsocket opening = nullptr;

// A browser says nothing more of a WebSocket that closed, to a program: why is the page's to show.
const char* const closed = "The WebSocket was closed";

// Room comes back only while the browser runs, and nothing tells us when: the wait looks again
// after each step.
constexpr int room_step_ms = 10;

} // namespace

// web/sdl_net.cpp leaves h_errno as the C library's resolver would.
const char* edge_lookup_failure() {
    return hstrerror(h_errno);
}

// The browser looks names up itself, when the WebSocket opens, within its own limits.
void edge_bound_name_lookup() {}

TCPsocket edge_open(IPaddress* address, bool* timed_out) {
    SDLNet_Web_SetOpenLimit(connect_deadline_ms);
    opened = SDLNet_TCP_Open(address);
    *timed_out = opened == nullptr && SDLNet_Web_OpenTimedOut() != 0;
    return opened;
}

// Not while the page closes: the browser runs nothing of ours after the page's handler returns,
// so a wait could never end there; the goodbye leaves if there is room, or not at all.
Room edge_wait_for_room(int ms, std::string* why) {
    for (int waited = 0;; waited += room_step_ms) {
        const int room = SDLNet_Web_Room(opened);
        if (room < 0) {
            *why = closed;
            return Room::broken;
        }
        if (room > 0) {
            return Room::ready;
        }
        if (page_closing || waited >= ms) {
            return Room::timed_out;
        }
        emscripten_sleep(static_cast<unsigned>(std::min(room_step_ms, ms - waited)));
    }
}

std::string edge_send_failure(int /*send_errno*/) {
    return SDLNet_Web_Room(opened) < 0 ? closed : "";
}

bool edge_open_start(IPaddress* address, std::string* why) {
    edge_open_abandon();
    opening = SDLNet_Web_OpenStart(address);
    if (opening == nullptr) {
        *why = "The WebSocket could not be opened";
        return false;
    }
    return true;
}

Opening edge_open_poll(TCPsocket* socket, std::string* why) {
    const int state = opening != nullptr ? SDLNet_Web_Opened(opening) : -1;
    if (state == 0) {
        return Opening::pending;
    }
    if (state < 0) {
        *why = closed;
        edge_open_abandon();
        return Opening::failed;
    }
    *socket = opened = opening;
    opening = nullptr;
    return Opening::open;
}

void edge_open_abandon() {
    if (opening != nullptr) {
        SDLNet_TCP_Close(opening);
        opening = nullptr;
    }
}
