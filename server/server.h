// The listening side: accepts connections up to the limit, keeps the table of open ones, ends
// them all on SIGINT or SIGTERM and prints the summary. Single-threaded on one io_context, so
// connections share no state that needs locking.
#pragma once

#include "server/connection.h"
#include "server/delay_histogram.h"
#include "server/options.h"

#include "server/net.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// Made by main, lives until io.run() returns.
class Server {
  public:
    using Duration = net::steady_timer::duration;

    Server(net::io_context& io, const Options& options);

    // Returns an empty string when listening, else why not.
    std::string start();

    // How long a connection may stay silent before it is closed; zero: for ever. Before its
    // first byte, the first-byte timeout, or the idle timeout where that is shorter (or the
    // first-byte one is 0); after it, the idle timeout.
    Duration silence_limit(bool heard_from) const;

    void on_goodbye() { ++goodbyes_; }

    bool latency_probe() const { return options_.latency_probe; }
    void record_delay(std::uint32_t us) { delays_.add(us); }

    void on_end(std::uint64_t id, std::uint64_t updates, bool said_goodbye);

  private:
    void accept();
    void stop();

    Options options_;
    net::ip::tcp::acceptor acceptor_;
    net::ip::tcp::endpoint peer_;
    net::steady_timer retry_timer_;
    net::signal_set signals_;
    Duration idle_timeout_;
    Duration first_byte_timeout_;
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    bool stopping_ = false;
    std::uint64_t clients_ = 0;
    std::uint64_t updates_ = 0;
    std::uint64_t goodbyes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t refused_ = 0;
    DelayHistogram delays_;
};
