// Opening the listeners, and the line that says where the page is served: the parts of start-up
// that talk to the operator rather than to players.
#pragma once

#include "server/net.h"

#include <string>

// Returns an empty string when acceptor listens on endpoint, else why not.
std::string listen_on(tcp::acceptor& acceptor, const tcp::endpoint& endpoint);

// "serving the page at http://HOST:PORT/", or for a listener on every address, which no browser
// can open, the address that reaches it from this machine.
std::string page_line(const tcp::acceptor& acceptor);
