// brackenreach-server: the Brackenreach game server. It accepts the clients' TCP connections,
// decodes each one's stream of x updates and its goodbye, and prints one line per event on
// stdout. It never writes game data to a client. With a web root it also serves the browser
// game and takes its WebSockets. This file is the entry: options, the page's files, the loop.
#include "server/descriptor_limit.h"
#include "server/options.h"
#include "server/server.h"

#include "server/net.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>

int main(int argc, char** argv) {
    Options options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    WebFiles files;
    if (!options.web_root.empty()) {
        const std::string wrong = files.load(options.web_root);
        if (!wrong.empty()) {
            std::fprintf(stderr, "brackenreach-server: --web-root: %s\n", wrong.c_str());
            return 2;
        }
    }
    const std::string short_of = make_room_for_descriptors(options);
    if (!short_of.empty()) {
        std::fprintf(stderr, "brackenreach-server: %s\n", short_of.c_str());
        return 2;
    }
    // A write to a socket the peer has closed must not kill the server.
    std::signal(SIGPIPE, SIG_IGN);

    net::io_context io;
    Server server(io, options, std::move(files));
    const std::string failure = server.start();
    if (!failure.empty()) {
        std::fprintf(stderr, "brackenreach-server: %s\n", failure.c_str());
        return 1;
    }
    io.run();
    return 0;
}
