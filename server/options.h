// brackenreach-server's command line: every option with its default and range, declared once
// through CLI11, which also writes --help from these declarations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Options {
    std::string host = "127.0.0.1";
    unsigned short port = 1337;
    std::size_t max_clients = 256;
    double idle_timeout_seconds = 30;
    // A real client sends its first update when its first frame is drawn: about 30 ms after
    // connecting here, 1.6 s at worst under valgrind. Silent connections hold a slot until this
    // runs out, so a burst of max_clients of them keeps every player out this long.
    double first_byte_timeout_seconds = 5;
    bool latency_probe = false;
    // Per source address (an IPv4 address, an IPv6 /64): connections open at once on either
    // port, and of those, game connections that have sent nothing yet; 0 for no limit. Players
    // behind one NAT share an address: 32 lets a classroom or a LAN party in while one address
    // holds at most an eighth of the default 256 slots. A real client is silent for the ~30 ms
    // before its first frame (1.6 s under valgrind), so 8 silent at once means 9 players from one
    // address starting within the same few tens of milliseconds.
    std::size_t max_per_address = 32;
    std::size_t max_silent_per_address = 8;
    // Empty: no page and no WebSocket listener.
    std::string web_root;
    unsigned short web_port = 8080;
    // Where the web port listens; empty: --host. Lets desktop players in on every address while
    // only a proxy on this machine reaches the page.
    std::string web_host;
    // Page connections in all, apart from the game connections' --max-clients.
    std::size_t max_page_connections = 256;
    // Reverse proxies whose X-Forwarded-For names the player behind a WebSocket it passes on.
    std::vector<std::string> trusted_proxies;
    // Connections to the web port one address may hold open (page requests, and WebSockets until
    // their handshake is done), counted apart from its game connections so that page loads never
    // take a player's share; 0 for no limit. A browser fetches the page's files over up to 3
    // connections at once (and keeps a few more idle, which give way when the limit is reached):
    // 96 lets a classroom of 32 behind one NAT load the page at the same moment.
    std::size_t max_page_per_address = 96;
    // Origins (scheme://host[:port], lower case, no default port) besides the page's own whose
    // pages may open a WebSocket: a proxy's public address the server cannot see in a request.
    std::vector<std::string> allowed_origins;
};

// Fills options from the command line. Returns -1 when the server should run; else the exit
// status, after printing --help or --version on stdout (0) or what was wrong on stderr (2).
int parse_options(int argc, char** argv, Options& options);
