// How long a burst of connections that never send keeps a player out: the burst fills every
// slot of a server at its own defaults, then a client tries to join every 50 ms until the
// server lets it in (or gives up after a bound), as a player would keep retrying.
#include "bench/peers.h"
#include "bench/report.h"
#include "bench/runs.h"
#include "bench/server_process.h"
#include "net/wire.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Above the 30 s idle timeout that used to hold silent connections, so that the figure before
// the first-byte timeout can be measured too.
constexpr double most_wait_s = 60;
// A burst that keeps players out longer than this fails the run.
constexpr double lockout_limit_s = 10;

enum class Fate { unknown, joined, refused };

// What the server's lines say about the connection from port.
Fate fate_of(const std::vector<std::string>& lines, unsigned port) {
    for (const auto& line : lines) {
        unsigned long long id = 0;
        unsigned seen = 0;
        if (std::sscanf(line.c_str(), "joined #%llu 127.0.0.1:%u", &id, &seen) == 2 &&
            seen == port) {
            return Fate::joined;
        }
        if (std::sscanf(line.c_str(), "refused 127.0.0.1:%u ", &seen) == 1 && seen == port) {
            return Fate::refused;
        }
    }
    return Fate::unknown;
}

std::size_t count_containing(const std::vector<std::string>& lines, const std::string& text) {
    std::size_t count = 0;
    for (const auto& line : lines) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

} // namespace

void run_silent_burst(const Options& options, Verdict& verdict) {
    if (options.silent == 0) {
        return;
    }
    ServerProcess server;
    if (!server_started(server, options.server, {})) {
        verdict.fail_if(true, "silent_server_start");
        return;
    }
    net::io_context io;
    auto guard = net::make_work_guard(io);
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), server.port());
    std::vector<std::unique_ptr<Peer>> owned;
    const std::vector<Peer*> silent = make_peers(io, options.silent, owned);
    connect_peers(
        io, endpoint, silent, options.connect_burst,
        [&] { return server.count("joined") + server.count("refused") >= silent.size(); }, 30);
    const std::uint64_t silent_joined = server.count("joined");
    const auto burst_in = Clock::now();

    std::uint64_t attempts = 0;
    double locked_out_s = -1;
    while (locked_out_s < 0 && seconds_between(burst_in, Clock::now()) < most_wait_s) {
        ++attempts;
        std::vector<std::unique_ptr<Peer>> one;
        Peer* player = make_peers(io, 1, one).front();
        const std::size_t from = server.lines().size();
        auto dial = std::make_shared<Connector>(endpoint, std::vector<Peer*>{player}, 1);
        dial->start();
        run_until(
            io, [&] { return dial->finished() == 1; }, 5);
        const auto connected_at = Clock::now();
        Fate fate = Fate::unknown;
        run_until(
            io,
            [&] {
                fate = player->connected ? fate_of(server.lines(from), player->local_port)
                                         : Fate::refused;
                return fate != Fate::unknown;
            },
            5);
        if (fate == Fate::joined) {
            locked_out_s = seconds_between(burst_in, connected_at);
            unsigned char frame[4];
            write_uint32_be(400, frame);
            player->send(frame, sizeof frame);
            say_goodbye_and_close(io, {player});
            run_until(
                io, [&] { return server.count("goodbye") > 0; }, 5);
        } else {
            error_code ignored;
            player->socket.close(ignored);
            run_until(
                io, [] { return false; }, 0.05);
        }
    }
    for (Peer* peer : silent) {
        error_code ignored;
        peer->socket.close(ignored);
    }
    const int status = server.stop(10);
    const std::vector<std::string> lines = server.lines();

    say("silent=" + std::to_string(silent.size()) +
        " silent_joined=" + std::to_string(silent_joined) + " silent_closed_first_byte_timeout=" +
        std::to_string(count_containing(lines, " reason=first_byte_timeout")) +
        " silent_closed_idle_timeout=" +
        std::to_string(count_containing(lines, " reason=idle_timeout")) + " client_attempts=" +
        std::to_string(attempts) + " client_goodbyes=" + std::to_string(server.count("goodbye")));
    say("client_locked_out_s=" +
        (locked_out_s < 0 ? "over_" + fixed(most_wait_s, 0) : fixed(locked_out_s, 2)) +
        " silent_server_exit=" + std::to_string(status));
    verdict.fail_if(locked_out_s < 0 || locked_out_s > lockout_limit_s, "players_locked_out");
    verdict.fail_if(status != 0, "silent_server_exit");
}
