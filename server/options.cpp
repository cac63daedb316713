#include "server/options.h"

#include "server/command_line.h"

#include "server/net.h"
#include "server/origin.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdlib>

namespace {

const char* const description =
    R"(The Brackenreach game server. Each client opens one TCP connection and sends, with no header and
no separators, its x position as a 4-byte big-endian signed integer once per frame, then the
goodbye: the bytes "exit" and a zero byte. The server never writes back (to a WebSocket, only its
handshake and close frames). It prints one line per event on stdout: listening, joined, goodbye,
dropped, left (closed after its goodbye), refused, accept_error and, on SIGINT or SIGTERM, a
stopped summary.

With --web-root it also serves the browser game on --web-port: GET / gives index.html, and the
page's other files (.html, .js, .wasm, .data, .css, .png, .ico, .svg, .json, read once at start
from the top of that directory, regular files only: symbolic links are not followed) are served
by name from memory; nothing else is. A WebSocket
to / (subprotocol "binary") carries the same byte stream, each binary message appended to it,
and is logged, limited and timed out like a TCP connection ("joined #N ADDRESS:PORT websocket").)";

const char* const footer =
    R"(A connection that has sent nothing since it connected is closed after --first-byte-timeout
(or --idle-timeout, if that is shorter), one that has sent something after --idle-timeout of
silence; 0 turns either rule off (a value that is not 0 but under a nanosecond is refused).
Once a connection has ended its socket is closed within 2 s, whatever the peer does: a
WebSocket's close frame waits that long for the peer's answer (a refused one's 0.5 s, a refusal's
answer 2 s to be taken). SIGINT and SIGTERM end the server within 2 s, the closes they start
waiting 1 s at most.

Every socket is charged, from its accept until it is closed, to one of three budgets: game
connections (--max-clients), page connections (--max-page-connections) and sockets that are
closing (as many as --max-clients; refused handshakes among them, charged to the address that
caused them). One source address (an IPv4 address, or an IPv6 /64) may hold --max-per-address
game connections (over TCP or WebSocket) and as many closing sockets, and --max-silent-per-address
of its game connections may have sent nothing yet; all the /64s of one IPv6 /56, and of one
/48, may hold twice that together, as home delegations are /56 or /48. More are refused
("refused ... reason=address_limit", "reason=silent_limit", "reason=connection_limit"; with
"network=PREFIX" for a /56 or /48), 0 lifts a share. Players behind one NAT share an address:
32 lets a classroom or a LAN party in while one address holds an eighth of the default 256
slots. Page connections (page requests, and WebSockets until their handshake is done) are
counted apart, up to --max-page-per-address, so page loads never take a player's share; at
that limit, or at --max-page-connections, a kept-alive connection with no request in progress
gives way, then the oldest one of the address holding the most when it holds more than the
newcomer; only when none may is the newcomer refused ("reason=page_limit" or
"reason=connection_limit ... http") with 503 and "Retry-After: 2", when the closing budget has
room for its address, else closed unanswered. A page connection takes new requests for 60 s
and 100 requests at most, and a response must move 40 KiB in every 5 s (8 KiB/s: a phone on a
64 kbit/s line gets the 2.8 MB page in six minutes), or it is reset.

Refusal lines come at most one a second per address: the first whole, the rest of that second
summed up as "refused ADDRESS repeated=N" with the last reason; the summary's refused= counts
every refusal.

Behind a proxy every player arrives from the proxy. --trusted-proxy ADDRESS makes the server
believe that address: on the web port, a WebSocket it passes on counts for, and is logged as, the
last address in its X-Forwarded-For header ("joined #N PLAYER via PROXY:PORT websocket"), and its
X-Forwarded-Proto: https makes the page's origin https:// (so a TLS proxy needs it for browser
players to get in at all); its page requests are limited only in all. On the game port, a
connection from that address may begin with a PROXY header (version 1 or 2, as HAProxy's
send-proxy and send-proxy-v2 write it), read within the first-byte timeout: the player it names
is counted and logged ("joined #N PLAYER via PROXY:PORT"); without a header it is a client like
any other. A PROXY header from anyone else is refused ("reason=untrusted_proxy"). Any local
program can connect from 127.0.0.1: trust a proxy only at an address that nothing else can send
from (see docs/server.md, "Behind a TLS proxy"). --web-host puts the web port on an address
of its own, so that only a proxy on this machine reaches it while --host takes desktop players on
every address.

A browser names the page that opens a WebSocket in its Origin header: a WebSocket whose Origin
is neither the page's own (http://HOST where HOST is its Host header; https:// when a trusted
proxy says X-Forwarded-Proto: https) nor an --allowed-origin is refused with 403
("refused ... reason=origin origin=ORIGIN websocket"), so other sites cannot make their
visitors join. Programs other than browsers send no Origin, and are not asked for one.

Every connection takes a file descriptor: the server needs --max-clients plus 32, and with
--web-root another --max-page-connections plus --max-clients for page connections and closing
sockets. At start it raises its soft RLIMIT_NOFILE to that within the hard limit; where it
cannot, it exits 2 and names --max-clients.

Web requests get a status and nothing else: 404 for unknown paths, 405 for methods other than
GET and HEAD, 400 for malformed requests (a Transfer-Encoding other than chunked, a second Host,
a Sec-WebSocket-Key that is not 16 bytes in base64 among them), 413 for a body, 431 for headers
over 8 KiB; a request must arrive whole within 5 s. WebSocket text frames are closed with 1003,
messages over 64 KiB with 1009, broken frames and close codes from 5000 up with 1002; a
WebSocket refused by the limits above with 1013.

--latency-probe reads each x as the sender's CLOCK_MONOTONIC time in microseconds modulo 2^31
(the sender runs on the same machine) and, before the stopped summary, prints "latency:
samples=N median_us=M p99_us=P max_us=X" (median and p99 at most 1/32 high; 0 without samples).)";

const CLI::Validator ip_address(
    [](std::string& text) -> std::string {
        error_code ec;
        net::ip::make_address(text, ec);
        return ec ? "needs an IP address, got '" + text + "'" : "";
    },
    "");

const CLI::Validator origin(
    [](std::string& text) -> std::string {
        const std::string normal = normal_origin(text);
        if (normal.empty()) {
            return "needs http:// or https:// and a host, nothing after it, got '" + text + "'";
        }
        text = normal;
        return "";
    },
    "");

// 0 means never, so a value that is not 0 but rounds to no time at all on the timers' clock
// would quietly switch the rule off.
const CLI::Validator not_rounding_to_zero(
    [](std::string& text) -> std::string {
        const double seconds = std::strtod(text.c_str(), nullptr);
        const auto ticks = std::chrono::duration_cast<net::steady_timer::duration>(
            std::chrono::duration<double>(seconds));
        return seconds != 0 && ticks.count() == 0
                   ? "'" + text +
                         "' is below the timers' resolution (1 ns) and would mean never; "
                         "use 0 for never"
                   : "";
    },
    "");

// The upper bound keeps the deadline arithmetic far from overflow.
void add_timeout(CLI::App& app, const char* name, double& seconds, const char* help) {
    app.add_option(name, seconds, help)
        ->transform(real_number(0, 1000000))
        ->check(not_rounding_to_zero)
        ->type_name("SECONDS")
        ->capture_default_str();
}

} // namespace

int parse_options(int argc, char** argv, Options& options) {
    CLI::App app(description, "brackenreach-server");
    app.footer(footer);
    app.set_version_flag("--version", "brackenreach-server " BRACKENREACH_VERSION);
    // help2man takes two spaces as the end of an option's name: at CLI11's default width of 30,
    // "--trusted-proxy ADDRESS ..." was followed by one and ran into its description.
    app.get_formatter()->column_width(32);
    // A repeated option takes its last value, as the hand-written parser before CLI11 did.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--host", options.host, "address to listen on")
        ->check(ip_address)
        ->type_name("ADDRESS")
        ->capture_default_str();
    app.add_option("--port", options.port, "TCP port, 0 picks a free one")
        ->transform(whole_number(0, 65535))
        ->type_name("PORT")
        ->capture_default_str();
    app.add_option("--max-clients", options.max_clients,
                   "connections served at once, more are refused")
        ->transform(whole_number(1, 1000000))
        ->type_name("N")
        ->capture_default_str();
    add_timeout(app, "--idle-timeout", options.idle_timeout_seconds,
                "close a connection silent this long; fractions allowed");
    add_timeout(app, "--first-byte-timeout", options.first_byte_timeout_seconds,
                "close a connection that sends nothing this long after connecting");
    app.add_option("--max-per-address", options.max_per_address,
                   "connections one address may hold open, 0: no limit")
        ->transform(whole_number(0, 1000000))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--max-silent-per-address", options.max_silent_per_address,
                   "of those, game connections that have sent nothing yet, 0: no limit")
        ->transform(whole_number(0, 1000000))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--web-root", options.web_root,
                   "serve the browser game and its WebSockets on --web-port")
        ->type_name("DIR");
    app.add_option("--web-port", options.web_port,
                   "HTTP and WebSocket port, not --port's; 0 picks a free one")
        ->transform(whole_number(0, 65535))
        ->type_name("PORT")
        ->capture_default_str();
    app.add_option("--web-host", options.web_host,
                   "address the web port listens on, if not --host's")
        ->check(ip_address)
        ->type_name("ADDRESS");
    app.add_option("--trusted-proxy", options.trusted_proxies,
                   "a proxy believed on its players' addresses (below; repeatable)")
        ->check(ip_address)
        ->type_name("ADDRESS")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--max-page-per-address", options.max_page_per_address,
                   "web-port connections one address may hold open, apart from its game ones, "
                   "0: no limit")
        ->transform(whole_number(0, 1000000))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--max-page-connections", options.max_page_connections,
                   "web-port connections served at once, apart from --max-clients")
        ->transform(whole_number(1, 1000000))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--allowed-origin", options.allowed_origins,
                   "a page elsewhere that may open WebSockets, e.g. https://game.example.org "
                   "(repeatable)")
        ->transform(origin)
        ->type_name("ORIGIN")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--latency-probe", options.latency_probe,
                 "measure the send-to-decode delay of clock-stamped updates (below)")
        ->disable_flag_override();
    // Both on one address: the second listener could never start, and a service manager would
    // restart the server for ever.
    app.final_callback([&options] {
        const bool one_host = options.web_host.empty() || options.web_host == options.host;
        if (!options.web_root.empty() && one_host && options.port != 0 &&
            options.port == options.web_port) {
            throw CLI::ValidationError("--web-port", std::to_string(options.port) +
                                                         " is --port too; the page needs a port of"
                                                         " its own");
        }
    });
    return parse_command_line(app, argc, argv);
}
