// Whom the server believes: the proxies (--trusted-proxy) whose word on a player's address it
// takes (X-Forwarded-For on the web port, a PROXY header on the game port), and the pages
// (--allowed-origin, besides its own) whose WebSockets may join players.
#pragma once

#include "server/net.h"

#include <string>
#include <string_view>
#include <vector>

class Trust {
  public:
    // proxies: addresses, as --trusted-proxy checked them; origins: normal origins.
    Trust(const std::vector<std::string>& proxies, std::vector<std::string> origins);

    bool proxy(net::ip::address address) const;
    // Whether a WebSocket whose Origin header says origin may join; own: the origin of the page
    // it was served on (scheme://Host).
    bool allowed_origin(std::string_view origin, std::string_view own) const;

  private:
    std::vector<net::ip::address> proxies_;
    std::vector<std::string> origins_;
};
