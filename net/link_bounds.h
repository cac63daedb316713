// How long the server link may hold the single frame loop (the connect deadline, the name-lookup
// deadline and the wait a send may take, with the resolver arithmetic) and when it tries a lost
// server again, free of SDL and sockets.
#pragma once

#include <cstdint>

// A connection attempt gives up after this long. Linux sends the SYN again after 1 s and 3 s, so
// a lost SYN or two still connect; a server that answers none of three is taken as absent.
constexpr int connect_deadline_ms = 5000;

// The longest a name lookup may take, in whole seconds (the resolver counts in seconds).
constexpr int lookup_deadline_s = 5;

// The longest one send (an update or the goodbye) waits for room in the socket's buffers. Room
// comes back as the server acknowledges, about once a round trip, so only a server that has
// stopped taking data, or a path slower than this round trip with the buffers full, reaches it.
constexpr int send_wait_limit_ms = 250;

// The longest the sends may keep waiting for room, counted across passes. Room that comes back
// in dribbles keeps each wait under send_wait_limit_ms while the game crawls; a stall runs from
// a send that had to wait until stall_limit_ms pass without one, and a server that keeps the
// sends waiting all that time has not taken what it was sent.
constexpr int stall_limit_ms = 1000;

// The limit that ends a send's wait for room.
enum class WaitLimit {
    send,  // send_wait_limit_ms since this send began to wait
    stall, // stall_limit_ms since the stall began
};

// How long a send may still wait at now_ms, given when its wait and its stall began (times on
// a wrapping 32-bit millisecond clock): what is left of the nearer limit, and which one that
// is (the stall's when both are as near). 0 or less means give the server up.
struct WaitLeft {
    int ms;
    WaitLimit limit;
};
WaitLeft room_wait_left(std::uint32_t stall_began_ms, std::uint32_t wait_began_ms,
                        std::uint32_t now_ms);

// Whether a send that starts to wait at now_ms belongs to the stall whose latest wait ended at
// last_wait_ms: a stall is over once stall_limit_ms have passed without a wait.
bool stall_goes_on(std::uint32_t last_wait_ms, std::uint32_t now_ms);

// glibc's resolver settings: seconds to wait for the first name server's answer, and tries.
struct ResolverTiming {
    int retrans;
    int retry;
};

// Seconds glibc's resolver waits before giving up when no name server answers: every try asks
// each of the servers in turn, the first for retrans seconds, server i (from 0) for
// (retrans << i) / servers, at least 1.
int resolver_wait_s(ResolverTiming timing, int servers);

// The settings to use instead of current so that a lookup ends within lookup_deadline_s: current
// if it does already; else as many tries as fit, each waiting at least 2 s (one lost datagram
// then costs a try, not the lookup) or current's wait where that is shorter, with the longest
// wait that fits that many; else one try with the longest wait that fits. Never a longer wait
// or more tries than current.
ResolverTiming bounded_resolver_timing(ResolverTiming current, int servers);

// A lost server is tried again after a pause: about retry_first_pause_ms after the loss, each
// pause twice the one before, up to retry_longest_pause_ms. A restart takes a few seconds, so the
// first tries find it back soon; a server gone for good costs a try every half minute.
constexpr int retry_first_pause_ms = 1000;
constexpr int retry_longest_pause_ms = 30000;

// A connection made by a try counts as the server back, and the log says so, once it has carried
// the game this long: a balancer takes connections while no server is behind it, and drops them
// a few seconds later, after its own tries.
constexpr int retry_trial_ms = 5000;

// While the tries keep failing the log says so at most this often, counted from the line that
// said the server was lost (or from start-up's failed connect).
constexpr int retry_log_interval_ms = 60000;

// The pause before try number tries (0: the first after the loss), for a draw in [0, 1): the
// nominal pause, retry_first_pause_ms doubled for each try before, at most retry_longest_pause_ms,
// cut by up to a half as the draw says (0 takes off half, 1 nothing). Every client of a server
// that restarts loses it at the same moment; the draws spread their return over half a pause.
int retry_pause_ms(int tries, double draw);

// The tries after a loss, on a wrapping 32-bit millisecond clock.
struct Retry {
    int tries = 0;               // failed since the loss
    std::uint32_t due_ms = 0;    // when the next try may start
    std::uint32_t logged_ms = 0; // when the log last spoke of this loss
};

// The connection was lost at now_ms (or start-up could not make it: lasted true). One that had
// lasted (made at start-up, or open for retry_longest_pause_ms at least) starts the pauses afresh
// and the log says so: true. One lost sooner is a try that failed: a server that takes each
// connection and drops it at once is tried ever more rarely, and spoken of as retry_failed says.
bool retry_lost(Retry& retry, bool lasted, std::uint32_t now_ms, double draw);

// Whether a connection made at up_ms has been open for held_ms at now_ms.
bool connection_held(std::uint32_t up_ms, std::uint32_t now_ms, int held_ms);

// Whether the next try may start at now_ms.
bool retry_due(const Retry& retry, std::uint32_t now_ms);

// The try that was due failed at now_ms: the next waits a longer pause. True when the log should
// say so (retry_log_interval_ms since it last spoke of the loss), which then counts as speaking.
bool retry_failed(Retry& retry, std::uint32_t now_ms, double draw);
