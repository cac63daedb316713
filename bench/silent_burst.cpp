// How long a burst of connections that never send keeps a player out: the burst fills every
// slot of a server at its own defaults, from as many addresses as its limit of silent
// connections per address asks, then a client tries to join every 50 ms until the server lets it
// in (or gives up after a bound), as a player would keep retrying. And how long one address
// that holds and reopens every connection it can keeps a player out.
#include "bench/peers.h"
#include "bench/report.h"
#include "bench/runs.h"
#include "bench/server_process.h"
#include "net/wire.h"

#include <array>
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

// Seconds from now until a client from 127.0.0.1, trying every 50 ms, is let in (it then says
// goodbye); -1 when it is not within most_wait_s.
double time_to_join(net::io_context& io, ServerProcess& server, const tcp::endpoint& endpoint,
                    std::uint64_t& attempts) {
    const auto from_now = Clock::now();
    while (seconds_between(from_now, Clock::now()) < most_wait_s) {
        ++attempts;
        std::vector<std::unique_ptr<Peer>> one;
        Peer* player = make_peers(io, 1, one).front();
        player->source = "127.0.0.1";
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
            unsigned char frame[4];
            write_uint32_be(400, frame);
            player->send(frame, sizeof frame);
            const std::uint64_t goodbyes = server.count("goodbye");
            say_goodbye_and_close(io, {player});
            run_until(
                io, [&] { return server.count("goodbye") > goodbyes; }, 5);
            return seconds_between(from_now, connected_at);
        }
        error_code ignored;
        player->socket.close(ignored);
        run_until(
            io, [] { return false; }, 0.05);
    }
    return -1;
}

std::string wait_text(double seconds) {
    return seconds < 0 ? "over_" + fixed(most_wait_s, 0) : fixed(seconds, 2);
}

// One of the flooding address's connections: reopens as soon as the server closes it (or
// refuses it, which is a close right after the accept); every other one sends one byte, so that
// it is held to the idle timeout rather than the first-byte one.
class Reopener {
  public:
    Reopener(net::io_context& io, tcp::endpoint endpoint, bool speaks)
        : socket_(io), endpoint_(endpoint), speaks_(speaks) {}
    void start() {
        if (stopped_) {
            return;
        }
        error_code ec;
        socket_.close(ec);
        socket_.open(endpoint_.protocol(), ec);
        socket_.bind(tcp::endpoint(net::ip::make_address("127.0.0.2"), 0), ec);
        socket_.async_connect(endpoint_, [this](const error_code& error) {
            ++opened_;
            if (error) {
                start();
                return;
            }
            if (speaks_) {
                static const unsigned char zero = 0;
                error_code ignored;
                socket_.write_some(net::buffer(&zero, 1), ignored);
            }
            socket_.async_read_some(net::buffer(byte_),
                                    [this](const error_code&, std::size_t) { start(); });
        });
    }
    void stop() {
        stopped_ = true;
        error_code ignored;
        socket_.close(ignored);
    }
    std::uint64_t opened() const { return opened_; }

  private:
    tcp::socket socket_;
    tcp::endpoint endpoint_;
    bool speaks_;
    bool stopped_ = false;
    std::uint64_t opened_ = 0;
    std::array<unsigned char, 1> byte_{};
};

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
    // 8 to an address, the most silent connections the server lets one address hold.
    for (std::size_t i = 0; i < silent.size(); ++i) {
        silent[i]->source =
            "127.0." + std::to_string(1 + i / 8 / 250) + "." + std::to_string(1 + i / 8 % 250);
    }
    connect_peers(
        io, endpoint, silent, options.connect_burst,
        [&] { return server.count("joined") + server.count("refused") >= silent.size(); }, 30);
    const std::uint64_t silent_joined = server.count("joined");
    std::uint64_t attempts = 0;
    const double locked_out_s = time_to_join(io, server, endpoint, attempts);
    for (Peer* peer : silent) {
        error_code ignored;
        peer->socket.close(ignored);
    }
    const int status = server.stop(10);
    const std::vector<std::string> lines = server.lines();

    say("silent=" + std::to_string(silent.size()) +
        " silent_addresses=" + std::to_string((silent.size() + 7) / 8) +
        " silent_joined=" + std::to_string(silent_joined) + " silent_closed_first_byte_timeout=" +
        std::to_string(count_containing(lines, " reason=first_byte_timeout")) +
        " silent_closed_idle_timeout=" +
        std::to_string(count_containing(lines, " reason=idle_timeout")) + " client_attempts=" +
        std::to_string(attempts) + " client_goodbyes=" + std::to_string(server.count("goodbye")));
    say("client_locked_out_s=" + wait_text(locked_out_s) +
        " silent_server_exit=" + std::to_string(status));
    verdict.fail_if(locked_out_s < 0 || locked_out_s > lockout_limit_s, "players_locked_out");
    verdict.fail_if(status != 0, "silent_server_exit");
}

void run_one_address(const Options& options, Verdict& verdict) {
    if (options.silent == 0) {
        return;
    }
    ServerProcess server;
    if (!server_started(server, options.server, {})) {
        verdict.fail_if(true, "one_address_server_start");
        return;
    }
    net::io_context io;
    auto guard = net::make_work_guard(io);
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), server.port());
    std::vector<std::unique_ptr<Reopener>> flood;
    for (std::size_t i = 0; i < options.silent; ++i) {
        flood.push_back(std::make_unique<Reopener>(io, endpoint, i % 2 == 1));
        flood.back()->start();
    }
    run_until(
        io, [] { return false; }, 2); // the flood at its height before the player comes
    std::uint64_t attempts = 0;
    const double wait_s = time_to_join(io, server, endpoint, attempts);
    std::uint64_t opened = 0;
    for (const auto& reopener : flood) {
        reopener->stop();
        opened += reopener->opened();
    }
    run_until(
        io, [] { return false; }, 0.2);
    const int status = server.stop(10);
    const std::vector<std::string> lines = server.lines();

    say("one_address_connections=" + std::to_string(options.silent) +
        " one_address_opened=" + std::to_string(opened) + " one_address_joined=" +
        std::to_string(count_containing(lines, " 127.0.0.2:") -
                       count_containing(lines, "refused 127.0.0.2:")) +
        " refused_address_limit=" +
        std::to_string(count_containing(lines, "reason=address_limit")) +
        " refused_silent_limit=" + std::to_string(count_containing(lines, "reason=silent_limit")) +
        " refused_connection_limit=" +
        std::to_string(count_containing(lines, "reason=connection_limit")));
    say("player_wait_s=" + wait_text(wait_s) + " player_attempts=" + std::to_string(attempts) +
        " one_address_server_exit=" + std::to_string(status));
    verdict.fail_if(wait_s < 0 || wait_s > 1, "one_address_keeps_players_out");
    verdict.fail_if(status != 0, "one_address_server_exit");
}
