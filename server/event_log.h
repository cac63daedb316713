// The server's event lines on stdout: one line per event, which operators read and the test
// harnesses parse.
#pragma once

#include "server/net.h"

#include <string>

// Prints line and a line end, flushed at once: the test harnesses read stdout through a pipe.
void log_line(const std::string& line);

// "address:port" ("[address]:port" for IPv6), as every event line names a peer.
std::string endpoint_text(const net::ip::tcp::endpoint& endpoint);
