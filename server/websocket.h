// The game's WebSocket (Beast's stream over a buffered socket) and how one closes: a close frame,
// then the socket closed when the peer answers, or after a bound whatever the peer does, or at
// once when the server stops. A closing socket is charged to the ledger as closing, to the address
// that caused it.
#pragma once

#include "server/admission.h"
#include "server/net.h"

#include <boost/beast/core/buffered_read_stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <memory>
#include <utility>

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

// Closes ws with code: as a closing socket of who when the ledger has room for one (ticket,
// which its owner keeps with ws, is recharged so), within bound; else at once, without a close
// frame. ws's owner lives until the close is done.
void close_websocket(const std::shared_ptr<WebSocket>& ws, Ticket& ticket,
                     const net::ip::address& who, boost::beast::websocket::close_code code,
                     net::steady_timer::duration bound);
