#include "server/listening.h"

#include "server/event_log.h"

namespace {

std::string page_url(const net::ip::address& address, unsigned short port) {
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return "http://" + host + ":" + std::to_string(port) + "/";
}

} // namespace

std::string listen_on(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    return ec ? "cannot listen on " + endpoint_text(endpoint) + ": " + ec.message() : "";
}

// No browser opens http://0.0.0.0:8080/: a listener on every address says so, with the address
// that reaches it from this machine (players elsewhere use one of the machine's own).
std::string page_line(const tcp::acceptor& acceptor) {
    const tcp::endpoint local = acceptor.local_endpoint();
    const net::ip::address address = local.address();
    if (!address.is_unspecified()) {
        return "serving the page at " + page_url(address, local.port());
    }
    const char* every = "every IPv4 address";
    net::ip::address here = net::ip::address_v4::loopback();
    if (address.is_v6()) {
        net::ip::v6_only v6_only;
        error_code ec;
        acceptor.get_option(v6_only, ec);
        every = !ec && v6_only.value() ? "every IPv6 address" : "every address";
        here = net::ip::address_v6::loopback();
    }
    return std::string("serving the page on ") + every + ", port " + std::to_string(local.port()) +
           " (from this machine: " + page_url(here, local.port()) + ")";
}
