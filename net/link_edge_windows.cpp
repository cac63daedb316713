// The server link's edge on Windows (windows/SDL_net.h over Winsock). The socket is non-blocking
// from the start, so none of the desktop's workarounds is needed: the connect waits in select
// within the deadline, a send takes what fits and the wait for room is select's, and the name
// lookup runs on a thread that the game stops waiting for at the deadline. The window keeps
// taking its messages meanwhile.
#include "net/link_edge.h"

#include "net/link_bounds.h"

#include <winsock2.h>

namespace {

// The socket edge_open returned; null before and after a failure.
TCPsocket opened = nullptr;

// A window whose messages wait untaken is not drawn (Wine does not even show it), and after 5 s
// Windows calls it not responding; the lookup and the connect may take 5 s each. So the waits
// let SDL take the window's messages this often; a close request taken there ends the game after
// its first frame.
constexpr int wait_step_ms = 50;

void let_the_window_run_while_waiting() {
    SDLNet_Win_SetWaitStep(wait_step_ms, SDL_PumpEvents);
}

} // namespace

// Windows' resolver codes (h_errno there is the last Winsock error) in glibc's words, so the
// log line reads as on Linux.
const char* edge_lookup_failure() {
    switch (WSAGetLastError()) {
    case WSAHOST_NOT_FOUND:
        return "Unknown host";
    case WSATRY_AGAIN:
        return "Host name lookup failure";
    case WSANO_RECOVERY:
        return "Unknown server error";
    case WSANO_DATA:
        return "No address associated with name";
    default:
        return "Unknown resolver error";
    }
}

void edge_bound_name_lookup() {
    let_the_window_run_while_waiting();
    SDLNet_Win_SetLookupLimit(lookup_deadline_s * 1000);
}

TCPsocket edge_open(IPaddress* address, bool* timed_out) {
    let_the_window_run_while_waiting();
    SDLNet_Win_SetOpenLimit(connect_deadline_ms);
    opened = SDLNet_TCP_Open(address);
    *timed_out = opened == nullptr && SDLNet_Win_OpenTimedOut() != 0;
    return opened;
}

Room edge_wait_for_room(int ms) {
    switch (SDLNet_Win_WaitForRoom(opened, ms)) {
    case 1:
        return Room::ready;
    case 0:
        return Room::timed_out;
    default:
        return Room::broken;
    }
}
