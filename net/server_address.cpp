#include "net/server_address.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>

std::string server_text_refusal(const std::string& text) {
    if (text.empty()) {
        return "it is empty";
    }
    // A URL's way of writing an IPv6 address, as the page's location gives it.
    const bool bracketed = text.size() > 2 && text.front() == '[' && text.back() == ']';
    const std::string bare = bracketed ? text.substr(1, text.size() - 2) : text;
    unsigned char ipv6[16];
    if (inet_pton(AF_INET6, bare.c_str(), ipv6) != 1) {
        return "";
    }
    if (std::all_of(ipv6, ipv6 + 16, [](unsigned char octet) { return octet == 0; })) {
        return bare + " is the unspecified address";
    }
    if (ipv6[0] == 0xff) {
        return bare + " is a multicast address";
    }
    return "";
}

std::string server_address_refusal(std::uint32_t address) {
    std::string dotted;
    for (int shift = 24; shift >= 0; shift -= 8) {
        dotted += std::to_string((address >> shift) & 0xff) + (shift > 0 ? "." : "");
    }
    if (address == 0) {
        return dotted + " is the unspecified address";
    }
    if (address == 0xffffffffu) {
        return dotted + " is the broadcast address";
    }
    if ((address >> 28) == 0xe) {
        return dotted + " is a multicast address";
    }
    return "";
}
