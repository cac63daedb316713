#include "bench/peers.h"

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

bool run_until(net::io_context& io, const std::function<bool()>& done, double timeout_seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (!done() && Clock::now() < deadline) {
        io.run_for(std::chrono::milliseconds(5));
    }
    return done();
}

void connect_peers(net::io_context& io, const tcp::endpoint& endpoint,
                   const std::vector<Peer*>& peers, std::size_t burst,
                   const std::function<bool()>& server_saw_them, double timeout_seconds) {
    auto connector = std::make_shared<Connector>(endpoint, peers, burst);
    connector->start();
    run_until(
        io, [&] { return connector->finished() == peers.size() && server_saw_them(); },
        timeout_seconds);
}

std::vector<Peer*> make_peers(net::io_context& io, std::size_t count,
                              std::vector<std::unique_ptr<Peer>>& owned) {
    std::vector<Peer*> peers;
    for (std::size_t i = 0; i < count; ++i) {
        owned.push_back(std::make_unique<Peer>(io));
        peers.push_back(owned.back().get());
    }
    return peers;
}

const unsigned char goodbye_bytes[5] = {'e', 'x', 'i', 't', 0};

void say_goodbye_and_close(net::io_context& io, const std::vector<Peer*>& peers) {
    for (Peer* peer : peers) {
        peer->send(goodbye_bytes, sizeof goodbye_bytes);
    }
    run_until(
        io,
        [&] {
            bool flushed = true;
            for (Peer* peer : peers) {
                peer->flush();
                flushed = flushed && (peer->pending.empty() || peer->failed);
            }
            return flushed;
        },
        10);
    for (Peer* peer : peers) {
        error_code ignored;
        peer->socket.close(ignored);
    }
}
