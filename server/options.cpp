#include "server/options.h"

#include "server/command_line.h"

#include "server/net.h"

#include <CLI/CLI.hpp>

namespace {

const char* const description =
    R"(The Brackenreach game server. Each client opens one TCP connection and sends, with no header and
no separators, its x position as a 4-byte big-endian signed integer once per frame, then the
goodbye: the bytes "exit" and a zero byte. The server never writes back. It prints one line per
event on stdout: listening, joined, goodbye, dropped, left (closed after its goodbye), refused,
accept_error and, on SIGINT or SIGTERM, a stopped summary.)";

const char* const footer =
    R"(A connection that has sent nothing since it connected is closed after --first-byte-timeout
(or --idle-timeout, if that is shorter), one that has sent something after --idle-timeout of
silence; 0 turns either rule off.

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

// The upper bound keeps the deadline arithmetic far from overflow.
void add_timeout(CLI::App& app, const char* name, double& seconds, const char* help) {
    app.add_option(name, seconds, help)
        ->transform(real_number(0, 1000000))
        ->type_name("SECONDS")
        ->capture_default_str();
}

} // namespace

int parse_options(int argc, char** argv, Options& options) {
    CLI::App app(description, "brackenreach-server");
    app.footer(footer);
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
    app.add_flag("--latency-probe", options.latency_probe,
                 "measure the send-to-decode delay of clock-stamped updates (below)")
        ->disable_flag_override();
    return parse_command_line(app, argc, argv);
}
