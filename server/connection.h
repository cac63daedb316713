// One client's connection, from accept to close: reads its stream into StreamDecoder, closes it
// when it stays silent too long, and prints its goodbye and its one dropped-or-left line.
#pragma once

#include "net/stream_decoder.h"

#include "server/net.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Server;

// Owned by the Server's table of open connections and by the handler in flight; it is freed
// once it has ended and its last handler has returned.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Server& server, net::ip::tcp::socket socket, std::uint64_t id)
        : server_(server), socket_(std::move(socket)), silence_timer_(socket_.get_executor()),
          id_(id) {}

    void start();
    // Closes the connection and prints its one goodbye-or-dropped (or left) line, once.
    void end(const char* reason, const std::string& detail = "");

  private:
    using Clock = net::steady_timer::clock_type;

    void read();
    void on_read(const error_code& ec, std::size_t size);
    StreamDecoder::Event feed_probing(const unsigned char* data, std::size_t size);
    void wait_silence();

    Server& server_;
    net::ip::tcp::socket socket_;
    net::steady_timer silence_timer_;
    Clock::time_point last_activity_ = Clock::now();
    bool heard_from_ = false; // any byte yet: decides which timeout applies
    std::uint64_t id_;
    StreamDecoder decoder_;
    bool ended_ = false;
    // Fixed size, so a flood costs no more memory than a quiet client.
    std::array<unsigned char, 4096> buffer_{};
};
