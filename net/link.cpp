#include "net/link.h"

#include "net/link_bounds.h"
#include "net/link_edge.h"
#include "net/server_address.h"
#include "net/wire.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <random>

TCPsocket server = nullptr;

namespace {

// Where the link goes, kept from start-up for the tries after a loss: a name is not looked up
// again, since a lookup can hold the frame loop for seconds.
std::string server_host;
int server_port = 0;
IPaddress server_address{};

enum class Phase {
    offline,    // no server to try: it could not be named, or the game is ending
    up,         // server is open
    pausing,    // lost: the next try waits for retry.due_ms
    connecting, // a try is under way since try_began, looked at once a pass
};
Phase phase = Phase::offline;
Retry retry;
bool on_trial = false; // server was opened by a try, up_since, and may not last
Uint32 up_since = 0;
Uint32 try_began = 0;        // when the try under way began
bool back_line_owed = false; // the log said the server was lost: it says when it is back

// The current stall, in SDL ticks: when its first wait began and its latest wait ended.
bool stalled = false;
Uint32 stall_began = 0;
Uint32 last_wait_ended = 0;

// Draws for the pauses' jitter: seeded from the system, so that clients started together do not
// draw alike.
double draw() {
    static std::minstd_rand generator(std::random_device{}());
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

void opened(bool by_a_try) {
    phase = Phase::up;
    on_trial = by_a_try;
    up_since = SDL_GetTicks();
}

// The connection is broken or given up: it is closed (what it still holds goes on to the server,
// which reads a cut stream as the end of it), and, unless the game is ending, tried again later.
// A connection lost soon after it was made is said only as often as a failed try.
void lose(const std::string& why, bool try_again) {
    SDLNet_TCP_Close(server); // never null here: only an open connection is sent on
    server = nullptr;
    stalled = false;
    phase = try_again ? Phase::pausing : Phase::offline;
    const Uint32 now = SDL_GetTicks();
    const bool lasted = !on_trial || connection_held(up_since, now, retry_longest_pause_ms);
    if (!try_again || retry_lost(retry, lasted, now, draw())) {
        std::cout << "SDLNet_TCP_Send: " << why << (try_again ? "; reconnecting" : "") << std::endl;
        back_line_owed = try_again;
    }
}

// The reason of a send that failed for good: the system's where it has one. SDL_net sets no
// error text of its own on a failed send, so SDL's text is at best what some earlier call left.
std::string reason(const std::string& from_system) {
    if (!from_system.empty()) {
        return from_system;
    }
    const char* text = SDL_GetError();
    return *text != '\0' ? text : "The connection failed";
}

// Sends all of data or gives the connection up: an update that went out in part would misalign
// every later byte, and a server that leaves a send no room for send_wait_limit_ms, or keeps the
// sends waiting for stall_limit_ms, is taken as gone. A broken connection is lost at once.
bool send_within_limit(const void* data, int length, bool try_again) {
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
        const int send_errno = errno; // before anything else can change it
        if (sent > 0) {
            lose("Server took " + std::to_string(sent) + " of " + std::to_string(length) + " bytes",
                 try_again);
            return false;
        }
        std::string why = edge_send_failure(send_errno);
        if (!why.empty()) {
            lose(why, try_again);
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
        const Room room = left.ms > 0 ? edge_wait_for_room(left.ms, &why) : Room::timed_out;
        if (room == Room::broken) {
            lose(reason(why), try_again);
            return false;
        }
        if (room == Room::timed_out) {
            lose(left.limit == WaitLimit::stall
                     ? "Server fell behind for " + std::to_string(stall_limit_ms) + " ms"
                     : "Server took no data for " + std::to_string(send_wait_limit_ms) + " ms",
                 try_again);
            return false;
        }
    }
}

void try_failed(const std::string& why) {
    phase = Phase::pausing;
    if (retry_failed(retry, SDL_GetTicks(), draw())) {
        std::cout << "Still reconnecting to server " << server_host << " on port " << server_port
                  << " after " << retry.tries << " tries: " << why << std::endl;
        back_line_owed = true;
    }
}

// Moves a lost link on by one step, never waiting: starts a try when one is due, or looks once
// at the one under way. True once the server is open again.
bool reconnect() {
    std::string why;
    if (phase == Phase::pausing && retry_due(retry, SDL_GetTicks())) {
        if (!edge_open_start(&server_address, &why)) {
            try_failed(why);
            return false;
        }
        phase = Phase::connecting;
        try_began = SDL_GetTicks();
    }
    if (phase != Phase::connecting) {
        return false;
    }
    switch (edge_open_poll(&server, &why)) {
    case Opening::pending:
        if (SDL_GetTicks() - try_began >= static_cast<Uint32>(connect_deadline_ms)) {
            edge_open_abandon();
            try_failed("timed out, no answer within " + std::to_string(connect_deadline_ms) +
                       " ms");
        }
        return false;
    case Opening::failed:
        try_failed(why);
        return false;
    case Opening::open:
        break;
    }
    opened(true);
    return true;
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
    server_host = host;
    server_port = port;
    server_address = address;
    bool timed_out = false;
    server = edge_open(&address, &timed_out);
    if (server == nullptr) {
        std::cout << "SDLNet_TCP_Open: " << SDL_GetError();
        if (timed_out) {
            std::cout << ": timed out, no answer within " << connect_deadline_ms << " ms";
        }
        std::cout << std::endl;
        // The frame loop tries again; start-up's lines say enough until then.
        phase = Phase::pausing;
        retry_lost(retry, true, SDL_GetTicks(), draw());
        back_line_owed = true;
        return false;
    }
    opened(false);
    std::cout << "Connected successfully!" << std::endl;
    return true;
}

bool send_message(const char* text) {
    if (server == nullptr && phase == Phase::connecting) {
        reconnect(); // a try that has got through since the last pass takes the goodbye
    }
    if (server == nullptr) {
        return false; // no connection is open: there is no one to tell
    }
    const int length = static_cast<int>(std::strlen(text)) + 1;
    return send_within_limit(text, length, false);
}

void send_position(int x) {
    if (server == nullptr && !reconnect()) {
        return;
    }
    unsigned char buffer[4];
    write_uint32_be(static_cast<Uint32>(x), buffer);
    if (send_within_limit(buffer, 4, true) && back_line_owed &&
        connection_held(up_since, SDL_GetTicks(), retry_trial_ms)) {
        std::cout << "Reconnected to server " << server_host << " on port " << server_port
                  << std::endl;
        back_line_owed = false;
        retry.logged_ms = SDL_GetTicks(); // the log spoke: a loss soon after waits its minute
    }
}

void end_link() {
    if (phase == Phase::connecting) {
        edge_open_abandon();
    }
    if (server != nullptr) {
        SDLNet_TCP_Close(server);
        server = nullptr;
    }
    phase = Phase::offline;
}
