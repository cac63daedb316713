#include "server/websocket.h"

void close_websocket(const std::shared_ptr<WebSocket>& ws, Ticket& ticket,
                     const net::ip::address& who, boost::beast::websocket::close_code code,
                     net::steady_timer::duration bound) {
    error_code ignored;
    if (!ws->is_open() || !ticket.change(Kind::closing, who, false).empty()) {
        boost::beast::get_lowest_layer(*ws).close(ignored);
        return;
    }
    auto deadline = std::make_shared<net::steady_timer>(ws->get_executor(), bound);
    // Closing the socket under the close also ends the read or pong it waits behind. Weak: the
    // ledger's copy must not keep the socket's owner alive.
    const std::weak_ptr<WebSocket> weak = ws;
    auto cut = [weak, deadline] {
        error_code unused;
        if (const auto socket = weak.lock()) {
            boost::beast::get_lowest_layer(*socket).close(unused);
        }
        deadline->cancel();
    };
    ticket.on_stop(cut);
    deadline->async_wait([cut](const error_code& ec) {
        if (!ec) {
            cut();
        }
    });
    ws->async_close(code, [ws, cut](const error_code&) { cut(); });
}
