// The PROXY protocol header (versions 1 and 2, as HAProxy's send-proxy and send-proxy-v2 and most
// cloud load balancers write it) that a TCP load balancer puts before a client's own bytes to say
// whom it is passing on. Pure parsing: whether to believe it is the caller's business.
#pragma once

#include "server/net.h"

#include <cstddef>

struct ProxyHeader {
    enum class Status {
        incomplete, // a header may still be arriving: read more
        absent,     // the bytes are not a PROXY header
        invalid,    // a PROXY header, broken
        complete,
    };
    Status status = Status::incomplete;
    std::size_t size = 0;      // complete: the header's bytes, which the stream then skips
    bool has_source = false;   // false for LOCAL (a health check) and UNKNOWN: the proxy itself
    net::ip::address source{}; // the client the proxy passes on
};

// The longest header read: v1 is at most 107 bytes, v2 16 plus its addresses and TLVs.
constexpr std::size_t proxy_header_limit = 1024;

// Reads the header at the start of data[0..size).
ProxyHeader parse_proxy_header(const unsigned char* data, std::size_t size);
