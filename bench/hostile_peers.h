// The abuse run's hostile peers: one that floods as fast as the server reads, and slots that
// keep opening short-lived connections of garbage or cut-off updates.
#pragma once

#include "bench/peers.h"
#include "net/wire.h"

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

// Writes a fixed 64 KiB block of updates as fast as the server takes it, then the goodbye.
class Flood {
  public:
    Flood(net::io_context& io, std::uint64_t bytes) : peer(io), limit_(bytes) {
        for (std::size_t i = 0; i < block_.size() / 4; ++i) {
            write_uint32_be(static_cast<std::uint32_t>(i), &block_[i * 4]);
        }
    }
    void start(Clock::time_point deadline) {
        deadline_ = deadline;
        started_ = Clock::now();
        write();
    }
    bool done() const { return done_; }
    std::uint64_t bytes() const { return bytes_; }
    double seconds() const { return seconds_; }
    long long last_x() const { return static_cast<long long>(block_.size() / 4 - 1); }
    Peer peer;

  private:
    void write() {
        if (bytes_ >= limit_ || Clock::now() >= deadline_) {
            seconds_ = seconds_between(started_, Clock::now());
            peer.sent = bytes_ / 4;
            net::async_write(peer.socket, net::buffer(goodbye_bytes),
                             [this](const error_code& ec, std::size_t) {
                                 peer.failed = peer.failed || static_cast<bool>(ec);
                                 done_ = true;
                             });
            return;
        }
        net::async_write(peer.socket, net::buffer(block_),
                         [this](const error_code& ec, std::size_t size) {
                             bytes_ += size;
                             if (ec) {
                                 peer.failed = true;
                                 peer.sent = bytes_ / 4;
                                 done_ = true;
                                 return;
                             }
                             write();
                         });
    }

    std::array<unsigned char, 65536> block_{};
    std::uint64_t limit_;
    std::uint64_t bytes_ = 0;
    Clock::time_point deadline_;
    Clock::time_point started_;
    double seconds_ = 0;
    bool done_ = false;
};

// One slot that keeps opening short-lived hostile connections until the deadline: random bytes
// closed with FIN or RST (garbage), or two updates and half a frame cut by an RST (reset).
class Churner {
  public:
    Churner(net::io_context& io, tcp::endpoint endpoint, bool garbage, unsigned seed)
        : io_(io), endpoint_(endpoint), garbage_(garbage), random_(seed), pause_(io) {}

    void start(Clock::time_point deadline) {
        deadline_ = deadline;
        open();
    }
    bool done() const { return done_; }
    std::uint64_t connections() const { return connections_; }
    std::uint64_t bytes() const { return bytes_; }

  private:
    void open() {
        if (Clock::now() >= deadline_) {
            done_ = true;
            return;
        }
        socket_ = std::make_unique<tcp::socket>(io_);
        socket_->async_connect(endpoint_, [this](const error_code& ec) {
            if (ec) {
                again();
                return;
            }
            ++connections_;
            data_.clear();
            if (garbage_) {
                data_.resize(1 + random_() % 65536);
                for (auto& byte : data_) {
                    byte = static_cast<unsigned char>(random_());
                }
            } else {
                data_ = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0};
            }
            net::async_write(*socket_, net::buffer(data_),
                             [this](const error_code& error, std::size_t size) {
                                 bytes_ += size;
                                 close(error || !garbage_ || random_() % 2 == 0);
                             });
        });
    }

    void close(bool reset) {
        error_code ignored;
        if (reset) {
            socket_->set_option(net::socket_base::linger(true, 0), ignored);
        }
        socket_->close(ignored);
        again();
    }

    void again() {
        pause_.expires_after(std::chrono::milliseconds(random_() % (garbage_ ? 100 : 40)));
        pause_.async_wait([this](const error_code& ec) {
            if (!ec) {
                open();
            }
        });
    }

    net::io_context& io_;
    tcp::endpoint endpoint_;
    bool garbage_;
    std::mt19937 random_;
    net::steady_timer pause_;
    std::unique_ptr<tcp::socket> socket_;
    std::vector<unsigned char> data_;
    Clock::time_point deadline_;
    std::uint64_t connections_ = 0;
    std::uint64_t bytes_ = 0;
    bool done_ = false;
};
