#include "server/event_log.h"

#include <cstdio>

void log_line(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string endpoint_text(const net::ip::tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    // An IPv6 address's colons would run into the port's.
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}
