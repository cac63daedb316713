// The load generator's own client connections: a Peer (over TCP, or over a WebSocket as the
// browser game's sockets speak it), a Connector that opens many without overflowing the server's
// listen backlog, the goodbye, and running the event loop to a goal.
#pragma once

#include "server/net.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to);

// Runs the loop until done() or the timeout; the work guard keeps run_for from returning early.
bool run_until(net::io_context& io, const std::function<bool()>& done, double timeout_seconds);

// One masked binary WebSocket frame (RFC 6455) carrying data, as a browser sends each message;
// up to 125 bytes, all the game's messages need.
std::vector<unsigned char> websocket_frame(const unsigned char* data, std::size_t size);

// A client connection written with non-blocking send(): 4-byte writes at 60 Hz from thousands of
// peers are cheaper without a completion handler each.
struct Peer {
    explicit Peer(net::io_context& io) : socket(io) {}

    // Queues bytes (one binary message of them over a WebSocket); what the kernel does not take
    // now waits in pending for flush().
    void send(const unsigned char* data, std::size_t size) {
        if (failed) {
            return;
        }
        if (websocket) {
            const std::vector<unsigned char> frame = websocket_frame(data, size);
            websocket = false; // the frame goes out as plain bytes
            send(frame.data(), frame.size());
            websocket = true;
            return;
        }
        if (pending.empty()) {
            const ssize_t written =
                ::send(socket.native_handle(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                failed = true;
                return;
            }
            const std::size_t taken = written > 0 ? static_cast<std::size_t>(written) : 0;
            pending.insert(pending.end(), data + taken, data + size);
            return;
        }
        pending.insert(pending.end(), data, data + size);
        flush();
    }

    void flush() {
        if (failed || pending.empty()) {
            return;
        }
        const ssize_t written = ::send(socket.native_handle(), pending.data(), pending.size(),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed = true;
        } else if (written > 0) {
            pending.erase(pending.begin(), pending.begin() + written);
        }
    }

    tcp::socket socket;
    // Where it connects from (empty: the kernel's choice), and whether it upgrades to a
    // WebSocket once connected (connected is set after the upgrade).
    std::string source;
    bool websocket = false;
    unsigned local_port = 0;
    bool connected = false;
    bool failed = false;
    bool finished = false; // for Ticker: sent all it was due to, or failed
    std::uint64_t sent = 0;
    std::vector<unsigned char> pending;
};

// Connects peers with at most `burst` handshakes in flight, so the listen backlog never
// overflows into SYN retries that would only measure the kernel's one-second back-off.
class Connector : public std::enable_shared_from_this<Connector> {
  public:
    Connector(tcp::endpoint endpoint, std::vector<Peer*> peers, std::size_t burst)
        : endpoint_(endpoint), peers_(std::move(peers)), burst_(burst) {}

    void start() {
        for (std::size_t i = 0; i < burst_; ++i) {
            next();
        }
    }
    std::size_t finished() const { return finished_; }
    std::size_t size() const { return peers_.size(); }

  private:
    void next() {
        if (index_ >= peers_.size()) {
            return;
        }
        Peer* peer = peers_[index_++];
        if (!peer->source.empty()) {
            error_code ec;
            peer->socket.open(endpoint_.protocol(), ec);
            if (!ec) {
                peer->socket.bind(tcp::endpoint(net::ip::make_address(peer->source), 0), ec);
            }
        }
        peer->socket.async_connect(
            endpoint_, [self = shared_from_this(), peer](const error_code& ec) {
                if (!ec) {
                    error_code ignored;
                    peer->socket.set_option(tcp::no_delay(true), ignored);
                    peer->local_port = peer->socket.local_endpoint(ignored).port();
                }
                if (!ec && peer->websocket) {
                    self->upgrade(peer);
                    return;
                }
                self->done(peer, !ec);
            });
    }

    void done(Peer* peer, bool connected) {
        ++finished_;
        peer->connected = connected;
        peer->failed = !connected;
        next();
    }

    // The opening handshake, with the fixed key of RFC 6455's example: the server's answer is
    // checked for its status only.
    void upgrade(Peer* peer);

    tcp::endpoint endpoint_;
    std::vector<Peer*> peers_;
    std::size_t burst_;
    std::size_t index_ = 0;
    std::size_t finished_ = 0;
};

// Connects peers, at most burst handshakes at a time, and runs the loop until every connect
// has finished and server_saw_them(), or for timeout_seconds at most.
void connect_peers(net::io_context& io, const tcp::endpoint& endpoint,
                   const std::vector<Peer*>& peers, std::size_t burst,
                   const std::function<bool()>& server_saw_them, double timeout_seconds);

// count new peers, owned by owned; returns them in order.
std::vector<Peer*> make_peers(net::io_context& io, std::size_t count,
                              std::vector<std::unique_ptr<Peer>>& owned);

extern const unsigned char goodbye_bytes[5];

// Sends the goodbye, waits (bounded) for every queued byte to leave, then closes.
void say_goodbye_and_close(net::io_context& io, const std::vector<Peer*>& peers);
