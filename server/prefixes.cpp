#include "server/prefixes.h"

std::array<Prefix, 3> prefixes_of(const net::ip::address& address, std::size_t& count) {
    std::array<Prefix, 3> prefixes{};
    if (address.is_v4() || address.to_v6().is_v4_mapped()) {
        const auto v4 = address.is_v4()
                            ? address.to_v4()
                            : net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
        prefixes[0].bits = 32;
        prefixes[0].bytes = net::ip::make_address_v6(net::ip::v4_mapped, v4).to_bytes();
        count = 1;
        return prefixes;
    }
    const auto bytes = address.to_v6().to_bytes();
    const std::uint8_t bits[] = {64, 56, 48};
    for (std::size_t i = 0; i < 3; ++i) {
        prefixes[i].bits = bits[i];
        for (std::size_t b = 0; b < bits[i] / 8; ++b) {
            prefixes[i].bytes[b] = bytes[b];
        }
    }
    count = 3;
    return prefixes;
}

std::string prefix_text(const Prefix& prefix) {
    if (prefix.bits == 32) {
        return net::ip::make_address_v4(net::ip::v4_mapped, net::ip::address_v6(prefix.bytes))
            .to_string();
    }
    return net::ip::address_v6(prefix.bytes).to_string() + "/" + std::to_string(prefix.bits);
}
