// brackenreach-server: the Brackenreach game server. It accepts the clients' TCP connections,
// decodes each one's stream of x updates and its goodbye, and prints one line per event on
// stdout. It never writes to a client. This file is the entry: options, signals, the loop.
#include "server/options.h"
#include "server/server.h"

#include "server/net.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    Options options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    // The server never writes to clients, but a stray write to a closed socket must not kill it.
    std::signal(SIGPIPE, SIG_IGN);

    net::io_context io;
    Server server(io, options);
    const std::string failure = server.start();
    if (!failure.empty()) {
        std::fprintf(stderr, "brackenreach-server: %s\n", failure.c_str());
        return 1;
    }
    io.run();
    return 0;
}
