// The steady pace of the well-behaved clients: `rate` updates a second per peer, spread over the
// frame, with late wake-ups caught up rather than dropped.
#pragma once

#include "bench/peers.h"
#include "net/wire.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

// Sends `rate` updates a second per peer, spreading peers over 16 phases of the frame so that
// the server sees a steady stream rather than one burst per frame. x comes from make_x.
class Ticker {
  public:
    static constexpr std::size_t phases = 16;

    Ticker(net::io_context& io, std::vector<Peer*> peers, double rate, double seconds,
           std::function<std::uint32_t(const Peer&)> make_x)
        : timer_(io), peers_(std::move(peers)), period_(1.0 / rate),
          total_(static_cast<std::uint64_t>(rate * seconds + 0.5)), make_x_(std::move(make_x)) {}

    void start() {
        start_ = Clock::now();
        tick();
    }
    // Updates per second per peer actually achieved: below the target when this process could
    // not keep its schedule (it catches up, so the count is right but the pace is not).
    double achieved_rate() const {
        const double took = seconds_between(start_, end_);
        return took > 0 ? static_cast<double>(total_) / (took + period_) : 0;
    }
    bool done() const { return done_; }
    std::uint64_t ticks() const { return wakeups_; }
    std::uint64_t late_ticks() const { return late_; }
    double max_lag_seconds() const { return max_lag_; }
    std::uint64_t per_peer() const { return total_; }

  private:
    Clock::time_point due(std::uint64_t tick) const {
        return start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            period_ / phases * static_cast<double>(tick)));
    }

    // A late wake-up serves every phase whose time has come (each phase at most once), so that
    // lateness shows as lag instead of silently stretching the schedule.
    void tick() {
        timer_.expires_at(due(ticks_));
        timer_.async_wait([this](const error_code& ec) {
            if (ec) {
                return;
            }
            const auto now = Clock::now();
            const double lag = seconds_between(due(ticks_), now);
            max_lag_ = std::max(max_lag_, lag);
            ++wakeups_;
            if (lag > period_) {
                ++late_;
            }
            const double elapsed = seconds_between(start_, now);
            const auto reached =
                static_cast<std::uint64_t>(elapsed / (period_ / phases)); // last tick now due
            const std::uint64_t first =
                std::max(ticks_, reached >= phases ? reached - phases + 1 : 0);
            for (std::uint64_t t = first; t <= reached; ++t) {
                const std::size_t phase = t % phases;
                for (std::size_t i = phase; i < peers_.size(); i += phases) {
                    send_due(*peers_[i], elapsed - static_cast<double>(phase) * period_ / phases);
                }
            }
            ticks_ = std::max(ticks_, reached) + 1;
            if (finished_ == peers_.size()) {
                end_ = now;
                done_ = true;
            } else {
                tick();
            }
        });
    }

    // Catches up after a late tick instead of dropping updates, so every run sends the same count.
    void send_due(Peer& peer, double since_first) {
        if (since_first >= 0 && !peer.failed) {
            const auto due = std::min<std::uint64_t>(
                total_, static_cast<std::uint64_t>(since_first / period_) + 1);
            unsigned char frame[4];
            while (peer.sent < due && !peer.failed) {
                write_uint32_be(make_x_(peer), frame);
                peer.send(frame, sizeof frame);
                ++peer.sent;
            }
        }
        if (!peer.finished && (peer.sent >= total_ || peer.failed)) {
            peer.finished = true;
            ++finished_;
        }
    }

    net::steady_timer timer_;
    std::vector<Peer*> peers_;
    double period_;
    std::uint64_t total_;
    std::function<std::uint32_t(const Peer&)> make_x_;
    Clock::time_point start_;
    Clock::time_point end_;
    std::uint64_t ticks_ = 0;
    std::uint64_t wakeups_ = 0;
    std::size_t finished_ = 0;
    std::uint64_t late_ = 0;
    double max_lag_ = 0;
    bool done_ = false;
};
