// One client's game connection, from its join to its close, over TCP or a WebSocket alike: reads
// its byte stream into StreamDecoder (a WebSocket's binary messages appended to one stream),
// closes it when it stays silent too long, prints its goodbye and its one dropped-or-left line,
// and reports its counts through the Reporter. The transport only decides how bytes are read and
// how the connection is closed.
#pragma once

#include "net/stream_decoder.h"
#include "server/admission.h"
#include "server/net.h"
#include "server/reporting.h"
#include "server/websocket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

using GameLink = std::variant<tcp::socket, WebSocket>;

// Who a new game connection is, as the ledger charges it and the lines name it.
struct Player {
    net::ip::address address; // the one its ticket is charged to
    std::string peer;         // "ADDRESS:PORT", or "PLAYER via PROXY:PORT"
    bool proxied = false;     // named by a trusted proxy: its first bytes were the proxy's
};

// Logs "joined #N PEER[ websocket]" and starts the connection, which owns link and ticket
// (charged as a game connection of player.address) until it is freed. first: bytes read already
// (behind a PROXY header), the stream's beginning.
void join_game(Reporter& reporter, const GameSettings& settings, GameLink link, Ticket ticket,
               const Player& player, std::string first = "");

// Owned by the handlers in flight; freed once it has ended and its last handler has returned.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Reporter& reporter, const GameSettings& settings, GameLink link, Ticket ticket,
               std::uint64_t id, Player player);

    void start(const std::string& first);
    // Closes the connection and prints its one goodbye-or-dropped (or left) line, once.
    void end(const char* reason, const std::string& detail = "");

  private:
    using Clock = net::steady_timer::clock_type;

    void read();
    void on_read(const error_code& ec, std::size_t size);
    // Decodes size bytes of data; false once the connection has ended.
    bool feed(const unsigned char* data, std::size_t size);
    StreamDecoder::Event feed_probing(const unsigned char* data, std::size_t size);
    void wait_silence();
    void close_link(const char* reason);

    Reporter& reporter_;
    const GameSettings& settings_;
    GameLink link_;
    Ticket ticket_;
    net::steady_timer silence_timer_;
    Clock::time_point last_activity_ = Clock::now();
    bool heard_from_ = false; // any byte yet: decides which timeout applies
    std::uint64_t id_;
    Player player_;
    StreamDecoder decoder_;
    bool ended_ = false;
    bool bad_close_code_ = false; // failed with 1002 already
    // Fixed size, so a flood costs no more memory than a quiet client.
    std::array<unsigned char, 4096> buffer_{};
};
