// The platform's side of the server link: opening the connection within the deadline or without
// waiting at all, waiting for room to send, the system's reason a send failed, and bounding the
// name lookup. net/link.cpp keeps the policy (what a stall
// is, when the server is given up, the log lines) and calls only these and SDL_net's own calls;
// each platform implements them in a file of its own (link_edge_desktop.cpp on the desktop).
#pragma once

#include <SDL_net.h>

#include <string>

// The resolver's reason for the SDLNet_ResolveHost that has just failed, in the words of glibc's
// hstrerror ("Unknown host"): SDL_net sets no error text of its own there.
const char* edge_lookup_failure();

// Prepares the next SDLNet_ResolveHost to end within lookup_deadline_s where the platform's
// resolver takes such settings; elsewhere does nothing.
void edge_bound_name_lookup();

// SDLNet_TCP_Open(address), given up after connect_deadline_ms: null on failure, with
// *timed_out true when the deadline ended it. On success SDLNet_TCP_Send on the socket returns
// at once with what fitted (0 when nothing did) instead of waiting for room, where the platform
// can arrange it (see edge_wait_for_room). Lets the platform run while it waits.
TCPsocket edge_open(IPaddress* address, bool* timed_out);

enum class Room {
    ready,     // there is room, or the wait was cut short: try the send again
    timed_out, // no room came within the wait
    broken,    // the connection failed, or its sends wait for room themselves: do not wait here
};

// Waits up to ms (more than 0) for room to send on the socket edge_open (or edge_open_poll)
// returned, never longer; when the connection is broken, *why gets the system's reason if it has
// one. Lets the platform run while it waits.
Room edge_wait_for_room(int ms, std::string* why);

// Why the SDLNet_TCP_Send that has just returned short failed for good, in the system's words
// ("Connection reset by peer"), given the errno it left; empty when it only found no room, or the
// system does not say.
std::string edge_send_failure(int send_errno);

// Starts a connection to address and returns at once: false (and *why) when it failed at once.
// Only one is under way at a time.
bool edge_open_start(IPaddress* address, std::string* why);

enum class Opening {
    pending, // not yet: look again next pass
    open,    // connected: the socket is ready as edge_open's is
    failed,  // refused or broken (*why says how); nothing is left open
};

// Looks at the connection edge_open_start began, without waiting; on open, *opened is its
// socket, the caller's to send on and to close with SDLNet_TCP_Close.
Opening edge_open_poll(TCPsocket* opened, std::string* why);

// Gives up the connection edge_open_start began, if it is still under way.
void edge_open_abandon();
