// How long the server link may hold the single frame loop: the connect deadline, the name-lookup
// deadline and the wait a send may take, with the resolver arithmetic, free of SDL and sockets.
#pragma once

// A connection attempt gives up after this long. Linux sends the SYN again after 1 s and 3 s, so
// a lost SYN or two still connect; a server that answers none of three is taken as absent.
constexpr int connect_deadline_ms = 5000;

// The longest a name lookup may take, in whole seconds (the resolver counts in seconds).
constexpr int lookup_deadline_s = 5;

// The longest one send (an update or the goodbye) waits for room in the socket's buffers. Room
// comes back as the server acknowledges, about once a round trip, so only a server that has
// stopped taking data, or a path slower than this round trip with the buffers full, reaches it.
constexpr int send_wait_limit_ms = 250;

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
// if it does already; else two tries where they fit with at least 2 s each (one lost datagram
// then costs a try, not the lookup), else one, with the longest wait that fits; never a longer
// wait or more tries than current.
ResolverTiming bounded_resolver_timing(ResolverTiming current, int servers);
