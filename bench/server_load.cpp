// server_load: drives brackenreach-server on 127.0.0.1 and prints what it saw as key=value lines.
// It starts the server itself so that it can read the server's event lines (the only place the
// server reports what it received) and sample its memory and CPU from /proc while it runs.
//
//   steady: K clients send 60 timestamped updates a second for D seconds, then the goodbye; the
//           server runs with --latency-probe, so its summary gives the send-to-decode delay
//           (steady_run.cpp).
//   abuse:  thousands of idle connections, byte-at-a-time writers, a 100 MB flood, random
//           garbage and abrupt resets, while well-behaved clients must lose no update
//           (abuse_run.cpp); then a burst of silent connections and how long it keeps a client
//           out (silent_burst.cpp).
//   restart: K clients of a server that restarts come back after the game's pauses, with and
//           without their jitter, against the server's share of silent connections
//           (restart_run.cpp).
//
// One thread runs every socket; a second only drains the server's stdout, so the server never
// blocks on a full pipe. Every phase has a deadline, so a stuck server ends the run, not hangs it.
#include "bench/load_options.h"
#include "bench/runs.h"

#include <csignal>

#include <sys/resource.h>

namespace {

void raise_fd_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = parse_load_options(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();
    if (options.mode == "restart") {
        return run_restart(options);
    }
    return options.mode == "steady" ? run_steady(options) : run_abuse(options);
}
