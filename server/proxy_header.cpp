#include "server/proxy_header.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned char v2_signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                            0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr char v1_signature[] = "PROXY ";
constexpr std::size_t v1_limit = 107;

using Status = ProxyHeader::Status;

// 0 to 65535 in decimal, no sign, no leading zero.
bool port(const std::string& text) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0') ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    return std::stoul(text) <= 65535;
}

// Whether data's first size bytes begin (or, cut short, could begin) with signature.
Status starts_with(const unsigned char* data, std::size_t size, const unsigned char* signature,
                   std::size_t length) {
    const std::size_t n = std::min(size, length);
    if (std::memcmp(data, signature, n) != 0) {
        return Status::absent;
    }
    return n < length ? Status::incomplete : Status::complete;
}

// "PROXY TCP4 SRC DST SPORT DPORT\r\n", "PROXY TCP6 ...", or "PROXY UNKNOWN[ anything]\r\n".
ProxyHeader parse_v1(const unsigned char* data, std::size_t size) {
    ProxyHeader header;
    const std::size_t scan = std::min(size, v1_limit);
    const auto* end = static_cast<const unsigned char*>(std::memchr(data, '\n', scan));
    if (end == nullptr) {
        header.status = size >= v1_limit ? Status::invalid : Status::incomplete;
        return header;
    }
    header.size = static_cast<std::size_t>(end - data) + 1;
    if (header.size < 2 || data[header.size - 2] != '\r') {
        header.status = Status::invalid;
        return header;
    }
    const std::string line(reinterpret_cast<const char*>(data), header.size - 2);
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t space = std::min(line.find(' ', at), line.size());
        fields.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    if (fields.size() >= 2 && fields[1] == "UNKNOWN") {
        header.status = Status::complete;
        return header;
    }
    error_code ec;
    error_code ec_destination;
    const auto source =
        fields.size() == 6 ? net::ip::make_address(fields[2], ec) : net::ip::address();
    if (fields.size() == 6) {
        net::ip::make_address(fields[3], ec_destination);
    }
    const bool family = fields.size() == 6 && ((fields[1] == "TCP4" && source.is_v4()) ||
                                               (fields[1] == "TCP6" && source.is_v6()));
    if (!family || ec || ec_destination || !port(fields[4]) || !port(fields[5])) {
        header.status = Status::invalid;
        return header;
    }
    header.status = Status::complete;
    header.has_source = true;
    header.source = source;
    return header;
}

ProxyHeader parse_v2(const unsigned char* data, std::size_t size) {
    ProxyHeader header;
    if (size < 16) {
        return header; // incomplete
    }
    const unsigned version = data[12] >> 4;
    const unsigned command = data[12] & 0x0F;
    const unsigned family = data[13];
    const std::size_t length = static_cast<std::size_t>(data[14]) << 8 | data[15];
    if (version != 2 || command > 1 || 16 + length > proxy_header_limit) {
        header.status = Status::invalid;
        return header;
    }
    if (size < 16 + length) {
        return header; // incomplete
    }
    header.size = 16 + length;
    header.status = Status::complete;
    if (command == 0) {
        return header; // LOCAL: the proxy's own connection, a health check
    }
    const unsigned char* addresses = data + 16;
    if (family == 0x11 && length >= 12) { // TCP over IPv4
        net::ip::address_v4::bytes_type bytes;
        std::copy(addresses, addresses + 4, bytes.begin());
        header.source = net::ip::address_v4(bytes);
        header.has_source = true;
    } else if (family == 0x21 && length >= 36) { // TCP over IPv6
        net::ip::address_v6::bytes_type bytes;
        std::copy(addresses, addresses + 16, bytes.begin());
        header.source = net::ip::address_v6(bytes);
        header.has_source = true;
    } else if (family == 0x11 || family == 0x21) {
        header.status = Status::invalid; // too short for its addresses
    }
    // Other families (UDP, UNIX, unspecified) name no TCP client: the proxy's own address counts.
    return header;
}

} // namespace

ProxyHeader parse_proxy_header(const unsigned char* data, std::size_t size) {
    ProxyHeader header;
    const Status v2 = starts_with(data, size, v2_signature, sizeof v2_signature);
    if (v2 == Status::complete) {
        return parse_v2(data, size);
    }
    const Status v1 = starts_with(data, size, reinterpret_cast<const unsigned char*>(v1_signature),
                                  sizeof v1_signature - 1);
    if (v1 == Status::complete) {
        return parse_v1(data, size);
    }
    header.status =
        v1 == Status::absent && v2 == Status::absent ? Status::absent : Status::incomplete;
    return header;
}
