#include "bench/peers.h"
#include "bench/report.h"
#include "bench/runs.h"
#include "bench/server_process.h"
#include "bench/server_view.h"
#include "bench/ticker.h"
#include "net/wire.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

int run_steady(const Options& options) {
    const double seconds = options.seconds > 0 ? options.seconds : 10;
    const double period_us = 1e6 / options.rate;
    // Every client comes from 127.0.0.1: the per-address limits are not what this measures.
    std::vector<std::string> args{"--max-clients",
                                  std::to_string(options.clients + 16),
                                  "--idle-timeout",
                                  "60",
                                  "--latency-probe",
                                  "--max-per-address",
                                  "0",
                                  "--max-silent-per-address",
                                  "0"};
    char web_root[] = "/tmp/server_load-web-XXXXXX";
    if (options.websocket) {
        if (::mkdtemp(web_root) == nullptr) {
            say("error=mkdtemp");
            return 1;
        }
        std::ofstream(std::string(web_root) + "/index.html") << "<!doctype html>\n";
        args.insert(args.end(),
                    {"--web-root", web_root, "--web-port", "0", "--max-page-per-address", "0"});
    }
    ServerProcess server;
    const bool started = server_started(server, options.server, args);
    if (options.websocket) {
        std::remove((std::string(web_root) + "/index.html").c_str());
        ::rmdir(web_root);
    }
    if (!started) {
        return 1;
    }
    net::io_context io;
    auto guard = net::make_work_guard(io);
    MemorySampler memory(io, server);
    memory.start();
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"),
                                 options.websocket ? server.web_port() : server.port());

    std::vector<std::unique_ptr<Peer>> owned;
    const std::vector<Peer*> peers = make_peers(io, options.clients, owned);
    for (Peer* peer : peers) {
        peer->websocket = options.websocket;
    }
    const auto connect_start = Clock::now();
    const double connect_timeout = 20 + static_cast<double>(options.clients) / 500;
    connect_peers(
        io, endpoint, peers, options.connect_burst,
        [&] { return server.count("joined") + server.count("refused") >= peers.size(); },
        connect_timeout);
    std::size_t connected = 0;
    for (const Peer* peer : peers) {
        connected += peer->connected ? 1 : 0;
    }
    say("mode=steady clients=" + std::to_string(options.clients) + " seconds=" + fixed(seconds, 1) +
        " rate=" + fixed(options.rate, 0) +
        " transport=" + (options.websocket ? "websocket" : "tcp"));
    say("connected=" + std::to_string(connected) +
        " joined=" + std::to_string(server.count("joined")) +
        " connect_s=" + fixed(seconds_between(connect_start, Clock::now()), 2));

    const double cpu_before = server.cpu_seconds();
    const double own_cpu_before = generator_cpu_seconds();
    const auto run_start = Clock::now();
    Ticker ticker(io, peers, options.rate, seconds,
                  [](const Peer&) { return monotonic_us_mod31(); });
    ticker.start();
    run_until(
        io, [&] { return ticker.done(); }, seconds * 3 + 10);
    say_goodbye_and_close(io, peers);
    run_until(
        io, [&] { return server.count("goodbye") + server.count("dropped") >= connected; },
        10 + static_cast<double>(options.clients) / 1000);
    const double window = seconds_between(run_start, Clock::now());
    const double cpu = server.cpu_seconds() - cpu_before;
    const double own_cpu = generator_cpu_seconds() - own_cpu_before;
    const ProcSample end_sample = server.sample();
    memory.stop();
    const int status = server.stop(10);
    const ServerView view = ServerView::parse(server.lines());
    const Compare result = compare(peers, view);

    const long samples = field_of(view.latency, "samples");
    const long median = field_of(view.latency, "median_us");
    const long p99 = field_of(view.latency, "p99_us");
    say("updates_sent=" + std::to_string(result.sent) +
        " updates_received=" + std::to_string(result.received) +
        " expected=" + std::to_string(ticker.per_peer() * options.clients) +
        " short_clients=" + std::to_string(result.short_clients) +
        " missing_goodbyes=" + std::to_string(result.missing_goodbyes) +
        " unflushed_bytes=" + std::to_string(result.unflushed_bytes));
    say("server_cpu_s=" + fixed(cpu, 2) + " server_cpu_pct=" + fixed(100 * cpu / window, 1) +
        " window_s=" + fixed(window, 2) + " server_cpu_us_per_update=" +
        fixed(result.received > 0 ? cpu * 1e6 / static_cast<double>(result.received) : 0, 2));
    say("server_rss_peak_kib=" + std::to_string(memory.peak_kib()) +
        " server_hwm_kib=" + std::to_string(end_sample.hwm_kib));
    say("delay_samples=" + std::to_string(samples) + " delay_median_us=" + std::to_string(median) +
        " delay_p99_us=" + std::to_string(p99) +
        " delay_max_us=" + std::to_string(field_of(view.latency, "max_us")));
    say("generator_cpu_s=" + fixed(own_cpu, 2) + " generator_late_ticks=" +
        std::to_string(ticker.late_ticks()) + "/" + std::to_string(ticker.ticks()) +
        " generator_max_lag_ms=" + fixed(ticker.max_lag_seconds() * 1000, 1) +
        " achieved_rate_per_client=" + fixed(ticker.achieved_rate(), 1));
    say("server_exit=" + std::to_string(status) + " " + view.stopped);

    // "Holds": every client served, every update counted, and decoded within three frames.
    Verdict verdict;
    verdict.fail_if(connected != options.clients || view.refused > 0 || view.accept_errors > 0,
                    "not_all_connected");
    verdict.fail_if(result.sent != ticker.per_peer() * options.clients, "not_all_sent");
    verdict.fail_if(result.missing_goodbyes > 0 || result.short_clients > 0 ||
                        result.received != result.sent,
                    "updates_lost");
    verdict.fail_if(samples < 0 || static_cast<std::uint64_t>(samples) != result.received,
                    "no_latency");
    verdict.fail_if(p99 < 0 || static_cast<double>(p99) > 3 * period_us, "delay_p99_over_3_frames");
    verdict.fail_if(ticker.achieved_rate() < 0.95 * options.rate ||
                        ticker.late_ticks() * 100 > ticker.ticks(),
                    "generator_behind");
    verdict.fail_if(status != 0, "server_exit");
    return verdict.say_it();
}
