// Web origins (scheme://host[:port]) as the WebSocket check compares them: a browser names the
// page that opens a socket in its Origin header, and only the server's own page, or one the
// operator allowed, may join players.
#pragma once

#include <string>
#include <string_view>

// text in the form origins are compared in: scheme and host in lower case, the scheme's default
// port left out. Empty when text is not http:// or https:// followed by a host and an optional
// port, and nothing else (no path, no user, no spaces).
std::string normal_origin(std::string_view text);
