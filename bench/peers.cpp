#include "bench/peers.h"

std::vector<unsigned char> websocket_frame(const unsigned char* data, std::size_t size) {
    static std::uint32_t seed = 0x9E3779B9u;
    seed = seed * 1664525u + 1013904223u; // masks need not be strong here, only present
    std::vector<unsigned char> frame{0x82, static_cast<unsigned char>(0x80 | (size & 0x7F))};
    const unsigned char mask[4] = {
        static_cast<unsigned char>(seed >> 24), static_cast<unsigned char>(seed >> 16),
        static_cast<unsigned char>(seed >> 8), static_cast<unsigned char>(seed)};
    frame.insert(frame.end(), mask, mask + 4);
    for (std::size_t i = 0; i < size; ++i) {
        frame.push_back(static_cast<unsigned char>(data[i] ^ mask[i % 4]));
    }
    return frame;
}

void Connector::upgrade(Peer* peer) {
    static const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                       "Connection: Upgrade\r\nSec-WebSocket-Key: "
                                       "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                       "Sec-WebSocket-Protocol: binary\r\n\r\n";
    auto answer = std::make_shared<net::streambuf>(4096);
    net::async_write(peer->socket, net::buffer(request),
                     [self = shared_from_this(), peer, answer](const error_code& ec, std::size_t) {
                         if (ec) {
                             self->done(peer, false);
                             return;
                         }
                         net::async_read_until(
                             peer->socket, *answer, "\r\n\r\n",
                             [self, peer, answer](const error_code& error, std::size_t size) {
                                 const std::string head(net::buffers_begin(answer->data()),
                                                        net::buffers_begin(answer->data()) +
                                                            static_cast<std::ptrdiff_t>(size));
                                 self->done(peer, !error && head.rfind("HTTP/1.1 101 ", 0) == 0 &&
                                                      answer->size() == size);
                             });
                     });
}

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
