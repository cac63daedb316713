// What the server's event lines say about each connection, and how that compares with what
// the load generator's peers sent.
#pragma once

#include "bench/peers.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// What the server's lines say about each connection, keyed by the client's local port.
struct ServerView {
    struct Ended {
        bool goodbye = false;
        std::uint64_t updates = 0;
        long long last_x = 0;
    };
    std::map<unsigned, Ended> by_port;
    std::string latency;
    std::string stopped;
    std::uint64_t accept_errors = 0;
    std::uint64_t refused = 0;

    // Reads every line the server printed.
    static ServerView parse(const std::vector<std::string>& lines);
};
struct Compare {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::size_t missing_goodbyes = 0;
    std::size_t short_clients = 0;
    std::size_t wrong_last_x = 0;
    std::size_t unflushed_bytes = 0;
};

// Per peer: the server's goodbye line must report exactly the updates this peer sent.
Compare compare(const std::vector<Peer*>& peers, const ServerView& view,
                const std::function<long long(const Peer&)>& expected_last_x = nullptr);
