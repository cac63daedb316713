#include "net/link.h"

#include "net/link_bounds.h"
#include "net/link_edge.h"
#include "net/server_address.h"
#include "net/wire.h"

#include <cstring>
#include <iostream>

TCPsocket server = nullptr;

namespace {

// Why the server was given up (empty while it is not): after that nothing more is sent.
std::string given_up;

// The current stall, in SDL ticks: when its first wait began and its latest wait ended.
bool stalled = false;
Uint32 stall_began = 0;
Uint32 last_wait_ended = 0;

// Logged once, when it happens; the goodbye that finds the server given up says so again.
void give_up(const std::string& reason) {
    given_up = reason;
    std::cout << "SDLNet_TCP_Send: " << given_up << std::endl;
}

// Sends all of data or nothing more ever: an update that went out in part would misalign every
// later byte, and a server that leaves a send no room for send_wait_limit_ms, or keeps the
// sends waiting for stall_limit_ms, is taken as gone. Either gives the server up. A broken
// connection fails at once and is left to fail again next time, as SDL_net's blocking sends
// did.
bool send_within_limit(const void* data, int length) {
    if (!given_up.empty()) {
        return false;
    }
    bool waited = false; // the clock is read only once a wait begins: most sends go out at once
    Uint32 wait_began = 0;
    for (;;) {
        const int sent = SDLNet_TCP_Send(server, data, length);
        if (sent == length) {
            if (waited) {
                last_wait_ended = SDL_GetTicks();
            }
            return true;
        }
        if (sent > 0) {
            give_up("Server took " + std::to_string(sent) + " of " + std::to_string(length) +
                    " bytes; nothing more is sent");
            return false;
        }
        const Uint32 now = SDL_GetTicks();
        if (!waited) {
            waited = true;
            wait_began = now;
            if (!stalled || !stall_goes_on(last_wait_ended, now)) {
                stalled = true;
                stall_began = now;
            }
        }
        const WaitLeft left = room_wait_left(stall_began, wait_began, now);
        const Room room = left.ms > 0 ? edge_wait_for_room(left.ms) : Room::timed_out;
        if (room == Room::broken) {
            // A failed connection is not a server falling behind: its sends fail at once, pass
            // after pass, and must not add up to a stall that gives it up as slow.
            stalled = false;
            return false;
        }
        if (room == Room::timed_out) {
            give_up(left.limit == WaitLimit::stall
                        ? "Server fell behind for " + std::to_string(stall_limit_ms) +
                              " ms; nothing more is sent"
                        : "Server took no data for " + std::to_string(send_wait_limit_ms) +
                              " ms; nothing more is sent");
            return false;
        }
    }
}

// An address that names no single server, refused as an unknown host is: the game plays offline.
bool refuse(const std::string& host, const std::string& why) {
    std::cout << "server_ip \"" << host << "\" cannot name one server (" << why
              << "): playing offline" << std::endl;
    return false;
}

} // namespace

bool connect_to_server(const std::string& host, int port) {
    std::cout << "Connecting to server " << host << " on port " << port << std::endl;
    const std::string text_refused = server_text_refusal(host);
    if (!text_refused.empty()) {
        return refuse(host, text_refused);
    }
    IPaddress address;
    edge_bound_name_lookup();
    // SDL_net sets no error text when the lookup fails, which left whatever SDL said last (under
    // sdl12-compat, something about OpenGL); the resolver's own reason is the edge's to tell.
    SDL_ClearError();
    if (SDLNet_ResolveHost(&address, host.c_str(), static_cast<Uint16>(port)) < 0) {
        const char* resolver_reason = edge_lookup_failure(); // before anything else can change it
        const char* reason = SDL_GetError();
        std::cout << "SDLNet_ResolveHost: " << (*reason != '\0' ? reason : resolver_reason)
                  << std::endl;
        return false;
    }
    // Before SDLNet_TCP_Open, which would listen on such an address rather than connect.
    const std::string address_refused = server_address_refusal(SDL_SwapBE32(address.host));
    if (!address_refused.empty()) {
        return refuse(host, address_refused);
    }
    bool timed_out = false;
    server = edge_open(&address, &timed_out);
    if (server == nullptr) {
        std::cout << "SDLNet_TCP_Open: " << SDL_GetError();
        if (timed_out) {
            std::cout << ": timed out, no answer within " << connect_deadline_ms << " ms";
        }
        std::cout << std::endl;
        return false;
    }
    std::cout << "Connected successfully!" << std::endl;
    return true;
}

bool send_message(const char* text) {
    if (server == nullptr) {
        return false; // the failed connection was logged at start-up
    }
    const int length = static_cast<int>(std::strlen(text)) + 1;
    const bool given_up_before = !given_up.empty();
    if (send_within_limit(text, length)) {
        return true;
    }
    if (given_up.empty()) {
        std::cout << "SDLNet_TCP_Send: " << SDL_GetError() << std::endl;
    } else if (given_up_before) {
        std::cout << "SDLNet_TCP_Send: " << given_up << std::endl;
    }
    return false;
}

void send_position(int x) {
    if (server == nullptr) {
        return;
    }
    unsigned char buffer[4];
    write_uint32_be(static_cast<Uint32>(x), buffer);
    send_within_limit(buffer, 4);
}
