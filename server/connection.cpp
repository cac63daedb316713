#include "server/connection.h"

#include "net/wire.h"
#include "server/event_log.h"
#include "server/server.h"

#include <algorithm>
#include <cstring>

namespace websocket = boost::beast::websocket;

Connection::Connection(Server& server, std::variant<tcp::socket, WebSocket> link, std::uint64_t id,
                       AddressHold open, AddressHold silent)
    : server_(server), link_(std::move(link)),
      silence_timer_(std::visit([](auto& l) { return l.get_executor(); }, link_)), id_(id),
      open_(std::move(open)), silent_(std::move(silent)) {}

void Connection::start() {
    read();
    wait_silence();
}

void Connection::read() {
    auto handler = [self = shared_from_this()](const error_code& ec, std::size_t size) {
        self->on_read(ec, size);
    };
    if (auto* ws = std::get_if<WebSocket>(&link_)) {
        ws->async_read_some(net::buffer(buffer_), std::move(handler));
    } else {
        std::get<tcp::socket>(link_).async_read_some(net::buffer(buffer_), std::move(handler));
    }
}

void Connection::on_read(const error_code& ec, std::size_t size) {
    if (ended_) {
        return;
    }
    const auto* ws = std::get_if<WebSocket>(&link_);
    // The stream is binary; a browser that sends text is not our client.
    if (ws != nullptr && !ec && ws->got_text()) {
        end("websocket_error", "text_frame");
        return;
    }
    if (size > 0) {
        last_activity_ = Clock::now();
        if (!heard_from_) {
            heard_from_ = true;
            silent_.release();
        }
        const StreamDecoder::Event event = server_.latency_probe()
                                               ? feed_probing(buffer_.data(), size)
                                               : decoder_.feed(buffer_.data(), size);
        if (event == StreamDecoder::Event::goodbye) {
            server_.on_goodbye();
            log_line("goodbye #" + std::to_string(id_) +
                     " updates=" + std::to_string(decoder_.updates_received()) +
                     " last_x=" + std::to_string(decoder_.last_x()));
        } else if (event == StreamDecoder::Event::protocol_error) {
            end("protocol_error", error_name(decoder_.error()));
            return;
        }
    }
    if (!ec) {
        read();
    } else if (ec == net::error::eof || ec == websocket::error::closed) {
        if (decoder_.finish() == StreamDecoder::Event::protocol_error) {
            end("protocol_error", error_name(decoder_.error()));
        } else {
            end("closed");
        }
    } else if (ec == net::error::connection_reset) {
        end("reset");
    } else if (ec == websocket::error::message_too_big) {
        end("websocket_error", "message_too_big");
    } else if (ec == websocket::condition::protocol_violation) {
        end("websocket_error", "bad_frame");
    } else if (ec != net::error::operation_aborted) {
        end("error", ec.message());
    }
}

// Feeds frame-sized pieces so that each update's x can be read before the next one replaces it.
// One clock reading serves the whole chunk: its bytes were all decoded now.
StreamDecoder::Event Connection::feed_probing(const unsigned char* data, std::size_t size) {
    const std::uint32_t now = monotonic_us_mod31();
    while (size > 0) {
        const std::size_t partial = decoder_.partial_bytes();
        const std::size_t piece = std::min<std::size_t>(partial < 4 ? 4 - partial : 1, size);
        const std::uint64_t before = decoder_.updates_received();
        const StreamDecoder::Event event = decoder_.feed(data, piece);
        if (decoder_.updates_received() != before) {
            const auto sent = static_cast<std::uint32_t>(decoder_.last_x());
            server_.record_delay((now - sent) & 0x7FFFFFFFu);
        }
        data += piece;
        size -= piece;
        if (event != StreamDecoder::Event::none) {
            decoder_.feed(data, size); // counts what follows as ignored, as one feed would
            return event;
        }
    }
    return StreamDecoder::Event::none;
}

// Re-arms at the last activity's deadline instead of restarting the timer on every read, so a
// flood does not cancel and re-post a timer thousands of times a second. The first byte swaps
// the first-byte limit for the idle one; the timer, still set for the old deadline, then finds
// the connection alive and re-arms for the new one.
void Connection::wait_silence() {
    const Server::SilenceLimit limit = server_.silence_limit(heard_from_);
    if (limit.after == Server::Duration::zero()) {
        return;
    }
    silence_timer_.expires_at(last_activity_ + limit.after);
    silence_timer_.async_wait([self = shared_from_this()](const error_code& ec) {
        if (ec || self->ended_) {
            return;
        }
        const Server::SilenceLimit now_limit = self->server_.silence_limit(self->heard_from_);
        if (now_limit.after != Server::Duration::zero() &&
            Clock::now() >= self->last_activity_ + now_limit.after) {
            self->end(now_limit.reason);
        } else {
            self->wait_silence();
        }
    });
}

// A WebSocket that is still open gets a close frame with the reason's code (RFC 6455, 7.4.1);
// its socket closes when the peer answers, or within Server::close_bound whatever the peer does.
// One whose peer closed, reset or broke the protocol is already closed or closing.
void Connection::close_link(const char* reason) {
    error_code ignored;
    auto* ws = std::get_if<WebSocket>(&link_);
    if (ws == nullptr) {
        std::get<tcp::socket>(link_).close(ignored);
        return;
    }
    if (!ws->is_open()) {
        boost::beast::get_lowest_layer(*ws).close(ignored);
        return;
    }
    websocket::close_code code = websocket::close_code::policy_error;
    if (std::strcmp(reason, "shutdown") == 0) {
        code = websocket::close_code::going_away;
    } else if (std::strcmp(reason, "websocket_error") == 0) {
        code = websocket::close_code::unknown_data; // the text frame; others closed already
    } else if (decoder_.goodbye_seen()) {
        code = websocket::close_code::normal;
    }
    // Shares ownership of this connection, which keeps its address's share until then.
    server_.close_websocket(std::shared_ptr<WebSocket>(shared_from_this(), ws), code);
}

void Connection::end(const char* reason, const std::string& detail) {
    if (ended_) {
        return;
    }
    ended_ = true;
    close_link(reason);
    silence_timer_.cancel();
    std::string line;
    if (decoder_.goodbye_seen()) {
        line = "left #" + std::to_string(id_) +
               " after_goodbye=" + std::to_string(decoder_.ignored_bytes()) + " reason=" + reason;
    } else {
        const bool any = decoder_.updates_received() > 0;
        line = "dropped #" + std::to_string(id_) +
               " updates=" + std::to_string(decoder_.updates_received()) +
               " last_x=" + (any ? std::to_string(decoder_.last_x()) : std::string("none")) +
               " partial=" + std::to_string(decoder_.partial_bytes()) + " reason=" + reason;
    }
    if (!detail.empty()) {
        line += " detail=" + detail;
    }
    log_line(line);
    // Last: this may release the server's reference to us; the caller's handler still holds one.
    server_.on_end(id_, decoder_.updates_received(), decoder_.goodbye_seen());
}
