// The server link's edge on Windows (windows/SDL_net.h over Winsock). The socket is non-blocking
// from the start, so none of the desktop's workarounds is needed: the connect waits in select
// within the deadline, a send takes what fits and the wait for room is select's, and the name
// lookup runs on a thread that the game stops waiting for at the deadline. The window keeps
// taking its messages meanwhile. A connection during play is started and looked at once a pass.
#include "net/link_edge.h"

#include "net/link_bounds.h"

#include <winsock2.h>

#include <string>

namespace {

// The socket edge_open (or edge_open_poll) returned; null before and after a failure.
TCPsocket opened = nullptr;

// The connection edge_open_start began; null when none is under way.
TCPsocket opening = nullptr;

// A window whose messages wait untaken is not drawn (Wine does not even show it), and after 5 s
// Windows calls it not responding; the lookup and the connect may take 5 s each. So the waits
// let SDL take the window's messages this often; a close request taken there ends the game after
// its first frame.
constexpr int wait_step_ms = 50;

void let_the_window_run_while_waiting() {
    SDLNet_Win_SetWaitStep(wait_step_ms, SDL_PumpEvents);
}

// Winsock's codes for a broken or refused connection in glibc's words, so the log reads as on
// Linux.
std::string socket_error_text(int error) {
    switch (error) {
    case 0:
        return std::string();
    case WSAECONNRESET:
        return "Connection reset by peer";
    case WSAECONNABORTED:
        return "Software caused connection abort";
    case WSAECONNREFUSED:
        return "Connection refused";
    case WSAETIMEDOUT:
        return "Connection timed out";
    case WSAENETRESET:
        return "Network dropped connection on reset";
    case WSAENETUNREACH:
        return "Network is unreachable";
    case WSAEHOSTUNREACH:
        return "No route to host";
    case WSAESHUTDOWN:
        return "Cannot send after transport endpoint shutdown";
    case WSAENOTCONN:
        return "Transport endpoint is not connected";
    default:
        return "Winsock error " + std::to_string(error);
    }
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

Room edge_wait_for_room(int ms, std::string* why) {
    switch (SDLNet_Win_WaitForRoom(opened, ms)) {
    case 1:
        return Room::ready;
    case 0:
        return Room::timed_out;
    default:
        *why = socket_error_text(SDLNet_Win_SocketError(opened));
        return Room::broken;
    }
}

// The send recorded its Winsock error on the socket; errno plays no part there.
std::string edge_send_failure(int /*send_errno*/) {
    return socket_error_text(SDLNet_Win_SocketError(opened));
}

bool edge_open_start(IPaddress* address, std::string* why) {
    edge_open_abandon();
    opening = SDLNet_Win_OpenStart(address);
    if (opening == nullptr) {
        *why = socket_error_text(WSAGetLastError());
        return false;
    }
    return true;
}

Opening edge_open_poll(TCPsocket* socket, std::string* why) {
    if (opening == nullptr) {
        *why = "No connection under way";
        return Opening::failed;
    }
    switch (SDLNet_Win_Connected(opening)) {
    case 0:
        return Opening::pending;
    case 1:
        *socket = opened = opening;
        opening = nullptr;
        return Opening::open;
    default:
        *why = socket_error_text(SDLNet_Win_SocketError(opening));
        edge_open_abandon();
        return Opening::failed;
    }
}

void edge_open_abandon() {
    if (opening != nullptr) {
        SDLNet_TCP_Close(opening);
        opening = nullptr;
    }
}
