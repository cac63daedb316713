// A WebSocket upgrade of "/" on the web port: whom it counts for (a trusted proxy's
// X-Forwarded-For), whether its page may open it (Origin), its handshake, and then its join as a
// game connection, or its refusal with 1013 (try again later) when the ledger has no room.
#pragma once

#include "server/admission.h"
#include "server/web_context.h"
#include "server/net.h"

#include <boost/beast/http.hpp>

#include <string>

struct UpgradeFrom {
    net::ip::address player; // the address the game connection is charged to
    std::string peer;        // how its lines name it: "ADDRESS:PORT", "PLAYER via PROXY:PORT"
};

// ok, with from filled in; else the status to refuse the request with: 403 for another site's
// page (logged and counted as a refusal), 400 for a key that is not 16 bytes in base64.
boost::beast::http::status
check_upgrade(const WebContext& context,
              const boost::beast::http::request<boost::beast::http::empty_body>& request,
              const tcp::endpoint& peer, UpgradeFrom& from);

// Answers request on socket (behind: the bytes that came in after it, the stream's beginning),
// then joins it as a game connection of from.player or refuses it. ticket moves with the socket.
void start_handshake(const WebContext& context, tcp::socket socket, Ticket ticket,
                     boost::beast::http::request<boost::beast::http::empty_body> request,
                     net::const_buffer behind, UpgradeFrom from);
