// The PROXY protocol header a load balancer writes before a client's bytes, versions 1 and 2.
#include "server/proxy_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string v2(unsigned char command, unsigned char family, const std::string& addresses) {
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += static_cast<char>(0x20 | command);
    header += static_cast<char>(family);
    header += static_cast<char>(addresses.size() >> 8);
    header += static_cast<char>(addresses.size() & 0xFF);
    return header + addresses;
}

} // namespace

TEST(ProxyHeader, Table) {
    using S = ProxyHeader::Status;
    const std::string v4_addresses("\xC6\x33\x64\x07\x7F\x00\x00\x01\x9C\x40\x05\x39", 12);
    const std::string v6_addresses = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') +
                                     "\x05" + std::string(16, '\0') + "\x9C\x40\x05\x39";
    const struct {
        const char* what;
        std::string bytes;
        S status;
        std::size_t size;
        const char* source; // "" for none
    } rows[] = {
        {"v1 over IPv4", "PROXY TCP4 198.51.100.7 127.0.0.1 40000 1337\r\n\x00\x00", S::complete,
         46, "198.51.100.7"},
        {"v1 over IPv6", "PROXY TCP6 2001:db8::5 ::1 40000 1337\r\n", S::complete, 39,
         "2001:db8::5"},
        {"v1 of an unknown kind", "PROXY UNKNOWN\r\n", S::complete, 15, ""},
        {"v1 cut short", "PROXY TCP4 198.51", S::incomplete, 0, ""},
        {"the first bytes of v1", "PRO", S::incomplete, 0, ""},
        {"v1 with a family that is not its address's", "PROXY TCP6 198.51.100.7 ::1 1 2\r\n",
         S::invalid, 0, ""},
        {"v1 with a port out of range", "PROXY TCP4 198.51.100.7 127.0.0.1 65536 1337\r\n",
         S::invalid, 0, ""},
        {"v1 with a field too many", "PROXY TCP4 198.51.100.7 127.0.0.1 1 2 3\r\n", S::invalid, 0,
         ""},
        {"v1 without its CR", "PROXY TCP4 198.51.100.7 127.0.0.1 1 2\n", S::invalid, 0, ""},
        {"v1 that never ends", "PROXY " + std::string(120, 'x'), S::invalid, 0, ""},
        {"v2 over IPv4", v2(1, 0x11, v4_addresses) + "\x00\x01", S::complete, 28, "198.51.100.7"},
        {"v2 over IPv6", v2(1, 0x21, v6_addresses), S::complete, 52, "2001:db8::5"},
        {"v2 with TLVs after the addresses",
         v2(1, 0x11, v4_addresses + std::string("\x04\x00\x01\x00", 4)), S::complete, 32,
         "198.51.100.7"},
        {"v2 LOCAL, a health check", v2(0, 0x00, ""), S::complete, 16, ""},
        {"v2 cut short", v2(1, 0x11, v4_addresses).substr(0, 20), S::incomplete, 0, ""},
        {"v2 too short for its addresses", v2(1, 0x11, "\x01\x02"), S::invalid, 0, ""},
        {"v2 over IPv6, too short for its addresses", v2(1, 0x21, v4_addresses), S::invalid, 0, ""},
        {"v2 over a UNIX socket: no address", v2(1, 0x31, std::string(216, 'x')), S::complete, 232,
         ""},
        {"v2 of another version", v2(1, 0x11, v4_addresses).replace(12, 1, "\x11"), S::invalid, 0,
         ""},
        {"a game client's first update", std::string("\x00\x00\x01\x90", 4), S::absent, 0, ""},
        {"an HTTP request", "GET / HTTP/1.1\r\n", S::absent, 0, ""},
    };
    for (const auto& r : rows) {
        const ProxyHeader header = parse_proxy_header(
            reinterpret_cast<const unsigned char*>(r.bytes.data()), r.bytes.size());
        EXPECT_EQ(r.status, header.status) << r.what;
        if (r.status == S::complete) {
            EXPECT_EQ(r.size, header.size) << r.what;
            EXPECT_EQ(std::string(r.source),
                      header.has_source ? header.source.to_string() : std::string())
                << r.what;
        }
    }
}
