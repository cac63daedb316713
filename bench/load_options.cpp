#include "bench/load_options.h"

#include "server/command_line.h"

#include <CLI/CLI.hpp>

namespace {

const char* const description =
    R"(Starts brackenreach-server on 127.0.0.1 (port 0), loads it, stops it with SIGTERM and prints
key=value lines, ending with verdict=holds or verdict=fails reasons=...

  steady: K clients send timestamped updates at the rate for D seconds, then the goodbye; the
          server runs with --latency-probe, so its summary gives the send-to-decode delay.
          --websocket: the same over WebSockets, each update one binary message.
  abuse:  idle connections, byte-at-a-time writers, a flood, random garbage and abrupt resets
          while well-behaved clients must lose no update; then a burst of silent connections
          against a second server at its own defaults, and how long it keeps a client out; then
          one address (127.0.0.2) holding and reopening every connection it can against a
          third, and how long a player from 127.0.0.1 waits meanwhile.
  restart: K clients of a server that restarts on the same port come back after the game's
          pauses, with their jitter and then all at once, against the server's share of silent
          connections (a refusal for it with the jitter fails the run).)";

CLI::Option* add_count(CLI::App& app, const char* name, std::size_t& count, unsigned long lo,
                       unsigned long hi, const char* help) {
    return app.add_option(name, count, help)
        ->transform(whole_number(lo, hi))
        ->type_name("N")
        ->capture_default_str();
}

} // namespace

int parse_load_options(int argc, char** argv, Options& options) {
    CLI::App app(description, "server_load");
    // A repeated option takes its last value, as the hand-written parser before CLI11 did.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("mode", options.mode, "the run to make")
        ->required()
        ->check(CLI::IsMember({"steady", "abuse", "restart"}));
    app.add_option("--server", options.server, "the brackenreach-server binary to run")
        ->required()
        ->type_name("PATH");
    // Bounded, so that no run can go on for long.
    app.add_option("--seconds", options.seconds, "length of the run: 10 for steady, 20 for abuse")
        ->transform(real_number(0, 600, true))
        ->type_name("D");
    app.add_option("--rate", options.rate, "updates a second per well-behaved client")
        ->transform(real_number(0, 1000, true))
        ->type_name("HZ")
        ->capture_default_str();
    add_count(app, "--connect-burst", options.connect_burst, 1, 1000000,
              "connects in flight at once");
    const char* const steady = "steady";
    add_count(app, "--clients", options.clients, 1, 1000000, "clients (steady, restart)")
        ->group(steady);
    app.add_flag("--websocket", options.websocket,
                 "clients speak WebSocket to the web port, one message an update")
        ->group(steady);
    const char* const abuse = "abuse";
    add_count(app, "--good", options.good, 0, 1000000, "well-behaved clients")->group(abuse);
    add_count(app, "--idle", options.idle, 0, 1000000, "connections that send one byte")
        ->group(abuse);
    add_count(app, "--slow", options.slow, 0, 1000000, "writers of one byte every 300 ms")
        ->group(abuse);
    add_count(app, "--flood-mb", options.flood_mb, 0, 10000, "MiB the flood sends")->group(abuse);
    add_count(app, "--garbage", options.garbage, 0, 1000000, "slots churning random bytes")
        ->group(abuse);
    add_count(app, "--resets", options.resets, 0, 1000000, "slots churning cut-off updates")
        ->group(abuse);
    add_count(app, "--silent", options.silent, 0, 1000000,
              "connections that never send, in the burst; 0 skips it")
        ->group(abuse);
    return parse_command_line(app, argc, argv);
}
