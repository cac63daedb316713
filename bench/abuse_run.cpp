#include "bench/hostile_peers.h"
#include "bench/peers.h"
#include "bench/report.h"
#include "bench/runs.h"
#include "bench/server_process.h"
#include "bench/server_view.h"
#include "bench/ticker.h"
#include "net/wire.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

int run_abuse(const Options& options) {
    const double seconds = options.seconds > 0 ? options.seconds : 20;
    const std::size_t most =
        options.idle + options.good + options.slow + 1 + options.garbage + options.resets + 64;
    // Its peers all come from 127.0.0.1: this run is about many connections at once, not about
    // the limits per address, which the runs after it measure.
    ServerProcess server;
    if (!server_started(server, options.server,
                        {"--max-clients", std::to_string(most), "--idle-timeout",
                         std::to_string(static_cast<int>(seconds) + 30), "--max-per-address", "0",
                         "--max-silent-per-address", "0"})) {
        return 1;
    }
    net::io_context io;
    auto guard = net::make_work_guard(io);
    MemorySampler memory(io, server);
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), server.port());
    const long baseline_kib = server.sample().rss_kib;
    memory.start();

    std::vector<std::unique_ptr<Peer>> owned;
    const std::vector<Peer*> idle = make_peers(io, options.idle, owned);
    const std::vector<Peer*> good = make_peers(io, options.good, owned);
    const std::vector<Peer*> slow = make_peers(io, options.slow, owned);

    // Idle first: the good clients then have to get in past thousands of held connections.
    const auto idle_start = Clock::now();
    connect_peers(
        io, endpoint, idle, options.connect_burst,
        [&] { return server.count("joined") >= idle.size(); }, 30);
    const double idle_connect_s = seconds_between(idle_start, Clock::now());
    std::size_t idle_connected = 0;
    // One byte each makes them clients that spoke and then paused, held to the idle timeout;
    // connections that never send are closed sooner, which run_silent_burst measures.
    const unsigned char first_byte = 0;
    for (Peer* peer : idle) {
        idle_connected += peer->connected ? 1 : 0;
        peer->send(&first_byte, 1);
    }
    run_until(
        io, [] { return false; }, 0.2); // lets the sampler see the settled size
    const long idle_kib = server.sample().rss_kib;

    Flood flood(io, static_cast<std::uint64_t>(options.flood_mb) * 1024 * 1024);
    std::vector<Peer*> others = good;
    others.insert(others.end(), slow.begin(), slow.end());
    others.push_back(&flood.peer);
    const auto join_start = Clock::now();
    const std::uint64_t joined_before = server.count("joined");
    connect_peers(
        io, endpoint, others, options.connect_burst,
        [&] { return server.count("joined") >= joined_before + others.size(); }, 30);
    const double good_join_s = seconds_between(join_start, Clock::now());

    const double cpu_before = server.cpu_seconds();
    const auto run_start = Clock::now();
    const auto deadline = run_start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));

    // Good clients count up from 1, so the server's last_x must equal what they sent.
    Ticker ticker(io, good, options.rate, seconds,
                  [](const Peer& peer) { return static_cast<std::uint32_t>(peer.sent + 1); });
    ticker.start();
    flood.start(deadline);

    // Slow writers dribble a valid stream, goodbye included, one byte every 300 ms, so that it
    // ends a couple of seconds before the deadline.
    const std::size_t slow_bytes = static_cast<std::size_t>((seconds - 2) / 0.3);
    const std::size_t slow_updates = slow_bytes > 9 ? (slow_bytes - 5) / 4 : 1;
    std::vector<std::vector<unsigned char>> slow_streams;
    for (std::size_t i = 0; i < slow.size(); ++i) {
        std::vector<unsigned char> stream(slow_updates * 4);
        for (std::size_t k = 0; k < slow_updates; ++k) {
            write_uint32_be(static_cast<std::uint32_t>(i * 1000 + k + 1), &stream[k * 4]);
        }
        stream.insert(stream.end(), goodbye_bytes, goodbye_bytes + 5);
        slow_streams.push_back(std::move(stream));
        slow[i]->sent = slow_updates;
    }
    std::size_t slow_offset = 0;
    net::steady_timer slow_timer(io);
    std::function<void()> dribble = [&] {
        if (slow_offset >= slow_streams.front().size()) {
            return;
        }
        for (std::size_t i = 0; i < slow.size(); ++i) {
            slow[i]->send(&slow_streams[i][slow_offset], 1);
        }
        ++slow_offset;
        slow_timer.expires_after(std::chrono::milliseconds(300));
        slow_timer.async_wait([&](const error_code& ec) {
            if (!ec) {
                dribble();
            }
        });
    };
    if (!slow.empty()) {
        dribble();
    }

    std::vector<std::unique_ptr<Churner>> churners;
    for (std::size_t i = 0; i < options.garbage + options.resets; ++i) {
        churners.push_back(std::make_unique<Churner>(io, endpoint, i < options.garbage,
                                                     static_cast<unsigned>(i + 1)));
        churners.back()->start(deadline);
    }

    const std::uint64_t slow_total = slow.empty() ? 0 : slow_streams.front().size();
    run_until(
        io,
        [&] {
            bool churn_done = true;
            for (const auto& churner : churners) {
                churn_done = churn_done && churner->done();
            }
            return ticker.done() && flood.done() && slow_offset >= slow_total && churn_done;
        },
        seconds + 15);
    const double own_cpu = generator_cpu_seconds();
    say_goodbye_and_close(io, good);
    for (Peer* peer : slow) {
        error_code ignored;
        peer->socket.close(ignored);
    }
    flood.peer.socket.close();
    const std::size_t expect_goodbyes = good.size() + slow.size() + 1;
    run_until(
        io, [&] { return server.count("goodbye") >= expect_goodbyes; }, 15);
    const double window = seconds_between(run_start, Clock::now());
    const double cpu = server.cpu_seconds() - cpu_before;
    for (Peer* peer : idle) {
        error_code ignored;
        peer->socket.close(ignored);
    }
    run_until(
        io, [] { return false; }, 0.3);
    const ProcSample end_sample = server.sample();
    memory.stop();
    const int status = server.stop(10);
    const ServerView view = ServerView::parse(server.lines());

    const Compare good_result =
        compare(good, view, [](const Peer& peer) { return static_cast<long long>(peer.sent); });
    const Compare slow_result = compare(slow, view, [&](const Peer& peer) {
        const std::size_t i =
            static_cast<std::size_t>(std::find(slow.begin(), slow.end(), &peer) - slow.begin());
        return static_cast<long long>(i * 1000 + slow_updates);
    });
    const Compare flood_result = compare(
        {&flood.peer}, view, [&](const Peer&) { return flood.peer.sent > 0 ? flood.last_x() : 0; });
    std::uint64_t garbage_connections = 0;
    std::uint64_t garbage_bytes = 0;
    std::uint64_t reset_connections = 0;
    for (std::size_t i = 0; i < churners.size(); ++i) {
        if (i < options.garbage) {
            garbage_connections += churners[i]->connections();
            garbage_bytes += churners[i]->bytes();
        } else {
            reset_connections += churners[i]->connections();
        }
    }

    say("mode=abuse seconds=" + fixed(seconds, 1) + " good=" + std::to_string(good.size()) +
        " idle=" + std::to_string(idle.size()) + " slow=" + std::to_string(slow.size()) +
        " flood_mb=" + std::to_string(options.flood_mb) + " garbage_slots=" +
        std::to_string(options.garbage) + " reset_slots=" + std::to_string(options.resets));
    say("idle_connected=" + std::to_string(idle_connected) +
        " idle_connect_s=" + fixed(idle_connect_s, 2) + " good_join_s=" + fixed(good_join_s, 3));
    say("good_updates_sent=" + std::to_string(good_result.sent) +
        " good_updates_received=" + std::to_string(good_result.received) +
        " good_short_clients=" + std::to_string(good_result.short_clients) +
        " good_missing_goodbyes=" + std::to_string(good_result.missing_goodbyes) +
        " good_wrong_last_x=" + std::to_string(good_result.wrong_last_x) +
        " generator_late_ticks=" + std::to_string(ticker.late_ticks()) + "/" +
        std::to_string(ticker.ticks()) +
        " achieved_rate_per_client=" + fixed(ticker.achieved_rate(), 1));
    say("slow_updates_sent=" + std::to_string(slow_result.sent) +
        " slow_updates_received=" + std::to_string(slow_result.received) +
        " slow_missing_goodbyes=" + std::to_string(slow_result.missing_goodbyes));
    say("flood_bytes=" + std::to_string(flood.bytes()) + " flood_s=" + fixed(flood.seconds(), 2) +
        " flood_mb_per_s=" +
        fixed(flood.seconds() > 0 ? static_cast<double>(flood.bytes()) / 1048576 / flood.seconds()
                                  : 0,
              1) +
        " flood_updates_sent=" + std::to_string(flood_result.sent) +
        " flood_updates_received=" + std::to_string(flood_result.received));
    say("garbage_connections=" + std::to_string(garbage_connections) + " garbage_bytes=" +
        std::to_string(garbage_bytes) + " reset_connections=" + std::to_string(reset_connections) +
        " server_dropped_lines=" + std::to_string(server.count("dropped")) + " accept_errors=" +
        std::to_string(view.accept_errors) + " refused=" + std::to_string(view.refused));
    say("server_cpu_s=" + fixed(cpu, 2) + " server_cpu_pct=" + fixed(100 * cpu / window, 1) +
        " window_s=" + fixed(window, 2) + " generator_cpu_s=" + fixed(own_cpu, 2));
    const long per_idle = idle_connected > 0
                              ? (idle_kib - baseline_kib) * 1024 / static_cast<long>(idle_connected)
                              : 0;
    say("server_rss_baseline_kib=" + std::to_string(baseline_kib) + " server_rss_with_idle_kib=" +
        std::to_string(idle_kib) + " bytes_per_idle_connection=" + std::to_string(per_idle) +
        " server_rss_peak_kib=" + std::to_string(memory.peak_kib()) +
        " server_rss_end_kib=" + std::to_string(end_sample.rss_kib) +
        " server_hwm_kib=" + std::to_string(end_sample.hwm_kib));
    say("server_exit=" + std::to_string(status) + " " + view.stopped);

    Verdict verdict;
    verdict.fail_if(idle_connected != idle.size(), "idle_not_connected");
    verdict.fail_if(
        good_result.missing_goodbyes + good_result.short_clients + good_result.wrong_last_x > 0,
        "good_updates_lost");
    verdict.fail_if(good_result.sent != ticker.per_peer() * good.size(), "good_not_all_sent");
    verdict.fail_if(
        slow_result.missing_goodbyes + slow_result.short_clients + slow_result.wrong_last_x > 0,
        "slow_updates_lost");
    verdict.fail_if(
        flood_result.missing_goodbyes + flood_result.short_clients + flood_result.wrong_last_x > 0,
        "flood_updates_lost");
    verdict.fail_if(view.refused > 0, "refused");
    verdict.fail_if(status != 0 || view.stopped.empty(), "server_exit");
    run_silent_burst(options, verdict);
    run_one_address(options, verdict);
    return verdict.say_it();
}
