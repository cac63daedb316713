// Whether the server_ip setting can name the one server the link connects to. SDL_net (and the
// layers standing in for it) treat the unspecified address and INADDR_NONE (255.255.255.255) as
// "be a server": SDLNet_TCP_Open then listens on every interface instead of connecting. Those, a
// multicast group and an empty setting are refused before the link opens anything.
#pragma once

#include <cstdint>
#include <string>

// Why the setting's text alone can name no single server ("it is empty", ":: is the unspecified
// address"), or empty when it may: the text is empty, or an IPv6 address (brackets allowed) that
// is unspecified or multicast. Dotted IPv4 and names are left to server_address_refusal, on the
// address they resolve to: SDL_net reads "0", "0x0" and "0.0" as 0.0.0.0 too.
std::string server_text_refusal(const std::string& text);

// Why an IPv4 address (host byte order) can name no single server ("0.0.0.0 is the unspecified
// address"), or empty when it may: unspecified, the broadcast address, or multicast (224.0.0.0/4).
std::string server_address_refusal(std::uint32_t address);
