// A game connection from a trusted proxy (--trusted-proxy): a TCP load balancer in front of the
// game port says whom it passes on in a PROXY header (version 1 or 2) before the client's own
// bytes. The header is read within the first-byte timeout and the player it names is charged and
// logged in the proxy's place ("joined #N PLAYER via PROXY:PORT"). A connection from that address
// without a header is a client like any other; one that sends nothing is closed without a line,
// as a balancer's health check does.
#pragma once

#include "server/admission.h"
#include "server/net.h"
#include "server/reporting.h"

// ticket: charged as a game connection, apart from any address's share until the player is
// known.
void accept_from_proxy(Reporter& reporter, const GameSettings& settings, tcp::socket socket,
                       Ticket ticket, const tcp::endpoint& proxy);
