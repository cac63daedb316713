// The restart run: players of one server that restarts on the same port. Each loses its
// connection when the server stops, waits the pause the client's link waits (net/link_bounds.h),
// connects again, sends its first update a frame later as the client does, and waits a longer
// pause when the server is not back yet or turns it away. The same herd twice, side by side: the
// pauses with their jitter, and every pause at its nominal length (all players at one moment);
// the server's refusals for its share of silent connections tell the two apart.
#include "bench/peers.h"
#include "bench/report.h"
#include "bench/runs.h"
#include "bench/server_process.h"
#include "net/link_bounds.h"
#include "net/wire.h"

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// Players behind one address: below the server's default share of 32 connections an address.
constexpr std::size_t per_address = 30;
// How long a real client is silent after it connects: one frame at the default cap.
constexpr auto first_frame = std::chrono::milliseconds(16);

struct Player {
    explicit Player(net::io_context& io) : socket(io), timer(io) {}
    tcp::socket socket;
    net::steady_timer timer;
    std::string source;
    int tries = 0;
    std::array<unsigned char, 64> unread{};
};

class Herd {
  public:
    Herd(net::io_context& io, std::size_t size, bool jitter)
        : jitter_(jitter), generator_(std::random_device{}()) {
        const std::size_t addresses = (size + per_address - 1) / per_address;
        for (std::size_t i = 0; i < size; ++i) {
            players_.push_back(std::make_unique<Player>(io));
            // Round the addresses, so that players arriving one after another come from apart.
            players_.back()->source = "127.0.3." + std::to_string(1 + i % addresses);
        }
    }

    // Connects every player, a couple of milliseconds apart, as players arriving one by one.
    void join(unsigned short port) {
        endpoint_ = tcp::endpoint(net::ip::make_address("127.0.0.1"), port);
        for (std::size_t i = 0; i < players_.size(); ++i) {
            Player* player = players_[i].get();
            player->timer.expires_after(std::chrono::milliseconds(2 * i));
            player->timer.async_wait([this, player](const error_code& ec) {
                if (!ec) {
                    connect(player);
                }
            });
        }
    }

    // From now on a lost connection is tried again after the link's pauses.
    void restart_began() {
        restarting_ = true;
        began_ = Clock::now();
    }
    // Seconds after restart_began of every connect the server accepted since.
    const std::vector<double>& connects() const { return connects_; }
    // Seconds from each of those connects to its first update: a frame, and the generator's own
    // lateness on a busy machine, which keeps a connection silent for longer than a client's.
    const std::vector<double>& silences() const { return silences_; }

  private:
    void connect(Player* player) {
        error_code ec;
        player->socket.open(endpoint_.protocol(), ec);
        if (!ec) {
            player->socket.bind(tcp::endpoint(net::ip::make_address(player->source), 0), ec);
        }
        player->socket.async_connect(endpoint_, [this, player](const error_code& failed) {
            if (failed) {
                lost(player);
                return;
            }
            const auto connected = Clock::now();
            if (restarting_) {
                connects_.push_back(seconds_between(began_, connected));
            }
            player->timer.expires_after(first_frame);
            player->timer.async_wait([this, player, connected](const error_code& ec2) {
                if (ec2) {
                    return;
                }
                if (restarting_) {
                    silences_.push_back(seconds_between(connected, Clock::now()));
                }
                unsigned char update[4];
                write_uint32_be(400, update);
                error_code ignored;
                net::write(player->socket, net::buffer(update), ignored);
                watch(player);
            });
        });
    }

    // The server never writes: a read ends only when it closes or refuses the connection.
    void watch(Player* player) {
        player->socket.async_read_some(net::buffer(player->unread),
                                       [this, player](const error_code& ec, std::size_t) {
                                           if (ec) {
                                               lost(player);
                                           } else {
                                               watch(player);
                                           }
                                       });
    }

    void lost(Player* player) {
        error_code ignored;
        player->socket.close(ignored);
        if (!restarting_) {
            return;
        }
        // As the link: a connection that did not last is one more failed try.
        const double draw =
            jitter_ ? std::uniform_real_distribution<double>(0, 1)(generator_) : 1.0;
        player->timer.expires_after(
            std::chrono::milliseconds(retry_pause_ms(player->tries++, draw)));
        player->timer.async_wait([this, player](const error_code& ec) {
            if (!ec) {
                connect(player);
            }
        });
    }

    bool jitter_;
    std::minstd_rand generator_;
    std::vector<std::unique_ptr<Player>> players_;
    tcp::endpoint endpoint_;
    bool restarting_ = false;
    Clock::time_point began_;
    std::vector<double> connects_;
    std::vector<double> silences_;
};

// The most connects the server accepted in any 100 ms.
std::size_t busiest_tenth(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; last < times.size(); ++last) {
        while (times[last] - times[first] >= 0.1) {
            ++first;
        }
        most = std::max(most, last - first + 1);
    }
    return most;
}

// One herd through one restart; prints its lines under prefix. Returns the silent refusals, or
// -1 when a server could not be started.
long restart_once(const Options& options, bool jitter, const std::string& prefix) {
    const std::vector<std::string> args{"--max-clients", std::to_string(2 * options.clients)};
    ServerProcess first;
    if (!server_started(first, options.server, args)) {
        return -1;
    }
    net::io_context io;
    Herd herd(io, options.clients, jitter);
    herd.join(first.port());
    const auto joined = [&](const ServerProcess& server) { return server.count("joined"); };
    run_until(
        io, [&] { return joined(first) >= options.clients; }, 60);
    const std::uint64_t before = joined(first);
    herd.restart_began();
    first.stop(10);
    std::vector<std::string> again = args;
    again.insert(again.end(), {"--port", std::to_string(first.port())});
    ServerProcess second;
    if (!server_started(second, options.server, again)) {
        return -1;
    }
    const auto began = Clock::now();
    const bool all_back = run_until(
        io, [&] { return joined(second) >= options.clients; }, 120);
    const double took = seconds_between(began, Clock::now());
    run_until(
        io, [] { return false; }, 1); // refusals still on their way show
    const std::vector<std::string> lines = second.lines();
    const auto refused = [&](const char* reason) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("refused ", 0) == 0 &&
                   (reason == nullptr || line.find(reason) != std::string::npos);
        });
    };
    const long silent = refused("reason=silent_limit");
    say(prefix + "players=" + std::to_string(options.clients) +
        " joined_before=" + std::to_string(before) + " all_back=" + (all_back ? "yes" : "no") +
        " back_after_s=" + fixed(took, 2) + " connects=" + std::to_string(herd.connects().size()) +
        " busiest_100ms=" + std::to_string(busiest_tenth(herd.connects())) + " silent_ms_max=" +
        fixed(1000 * (herd.silences().empty()
                          ? 0.0
                          : *std::max_element(herd.silences().begin(), herd.silences().end())),
              1) +
        " refused=" + std::to_string(refused(nullptr)) +
        " refused_silent=" + std::to_string(silent));
    second.stop(10);
    return silent;
}

} // namespace

int run_restart(const Options& options) {
    Verdict verdict;
    const long spread = restart_once(options, true, "jitter: ");
    const long together = restart_once(options, false, "no_jitter: ");
    if (spread < 0 || together < 0) {
        return 1;
    }
    verdict.fail_if(spread > 0, "silent_share_hit_with_jitter");
    return verdict.say_it();
}
