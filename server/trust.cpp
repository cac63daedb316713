#include "server/trust.h"

#include "server/origin.h"

#include <algorithm>
#include <utility>

namespace {

// Peers are compared as IPv4 where they can be: a listener on "::" sees an IPv4 proxy as its
// IPv4-mapped IPv6 address, and a proxy may be named either way.
net::ip::address unmapped(net::ip::address address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    }
    return address;
}

} // namespace

Trust::Trust(const std::vector<std::string>& proxies, std::vector<std::string> origins)
    : origins_(std::move(origins)) {
    for (const auto& text : proxies) {
        proxies_.push_back(unmapped(net::ip::make_address(text)));
    }
}

bool Trust::proxy(net::ip::address address) const {
    return std::find(proxies_.begin(), proxies_.end(), unmapped(address)) != proxies_.end();
}

bool Trust::allowed_origin(std::string_view origin, std::string_view own) const {
    const std::string normal = normal_origin(origin);
    return !normal.empty() &&
           (normal == normal_origin(own) ||
            std::find(origins_.begin(), origins_.end(), normal) != origins_.end());
}
