// One client's game connection, from its join to its close, over TCP or a WebSocket alike: reads
// its byte stream into StreamDecoder (a WebSocket's binary messages appended to one stream),
// closes it when it stays silent too long, prints its goodbye and its one dropped-or-left line,
// and reports its counts to the Server. The transport only decides how bytes are read and how
// the connection is closed.
#pragma once

#include "net/stream_decoder.h"
#include "server/address_limits.h"
#include "server/net.h"

#include <boost/beast/core/buffered_read_stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

class Server;

// Reads through a buffer, so that the bytes that came in behind the upgrade request are read as
// the stream's first frames.
using BufferedSocket = boost::beast::buffered_read_stream<tcp::socket, boost::beast::flat_buffer>;
using WebSocket = boost::beast::websocket::stream<BufferedSocket>;

namespace boost::beast {
// A WebSocket's closing handshake ends on the buffered socket as on the socket itself (found by
// argument-dependent lookup on the stream's type).
template <class Handler>
void async_teardown(role_type role, BufferedSocket& socket, Handler&& handler) {
    websocket::async_teardown(role, socket.next_layer(), std::forward<Handler>(handler));
}
} // namespace boost::beast

// Owned by the Server's table of open connections and by the handler in flight; it is freed
// once it has ended and its last handler has returned.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // open and silent: this connection's shares of its address's counts; silent is given back
    // with the first byte.
    Connection(Server& server, std::variant<tcp::socket, WebSocket> link, std::uint64_t id,
               AddressHold open, AddressHold silent);

    void start();
    // Closes the connection and prints its one goodbye-or-dropped (or left) line, once.
    void end(const char* reason, const std::string& detail = "");

  private:
    using Clock = net::steady_timer::clock_type;

    void read();
    void on_read(const error_code& ec, std::size_t size);
    StreamDecoder::Event feed_probing(const unsigned char* data, std::size_t size);
    void wait_silence();
    void close_link(const char* reason);

    Server& server_;
    std::variant<tcp::socket, WebSocket> link_;
    net::steady_timer silence_timer_;
    Clock::time_point last_activity_ = Clock::now();
    bool heard_from_ = false; // any byte yet: decides which timeout applies
    std::uint64_t id_;
    AddressHold open_;
    AddressHold silent_;
    StreamDecoder decoder_;
    bool ended_ = false;
    // Fixed size, so a flood costs no more memory than a quiet client.
    std::array<unsigned char, 4096> buffer_{};
};
