#include "server/connection.h"

#include "net/wire.h"
#include "server/event_log.h"
#include "server/proxy_header.h"

#include <algorithm>
#include <cstring>

namespace websocket = boost::beast::websocket;

namespace {

// The close frame that fails a WebSocket for a protocol error (1002), as a server sends it.
constexpr unsigned char protocol_error_frame[] = {0x88, 0x02, 0x03, 0xEA};

} // namespace

void join_game(Reporter& reporter, const GameSettings& settings, GameLink link, Ticket ticket,
               const Player& player, std::string first) {
    const char* kind = std::holds_alternative<WebSocket>(link) ? " websocket" : "";
    const std::uint64_t id = reporter.joined(player.peer, kind);
    std::make_shared<Connection>(reporter, settings, std::move(link), std::move(ticket), id, player)
        ->start(first);
}

Connection::Connection(Reporter& reporter, const GameSettings& settings, GameLink link,
                       Ticket ticket, std::uint64_t id, Player player)
    : reporter_(reporter), settings_(settings), link_(std::move(link)), ticket_(std::move(ticket)),
      silence_timer_(std::visit([](auto& l) { return l.get_executor(); }, link_)), id_(id),
      player_(std::move(player)) {}

void Connection::start(const std::string& first) {
    ticket_.on_stop([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->end("shutdown");
        }
    });
    if (auto* ws = std::get_if<WebSocket>(&link_)) {
        // Close codes from 5000 up mean nothing (RFC 6455, 7.4.2), yet Beast would echo one: the
        // connection is failed with 1002 instead, written before Beast's echo can be.
        ws->control_callback([this, ws](websocket::frame_type kind, boost::beast::string_view) {
            if (kind == websocket::frame_type::close && ws->reason().code >= 5000) {
                error_code ignored;
                auto& socket = boost::beast::get_lowest_layer(*ws);
                net::write(socket, net::buffer(protocol_error_frame), ignored);
                socket.shutdown(tcp::socket::shutdown_both, ignored);
                bad_close_code_ = true;
            }
        });
    }
    if (!first.empty() &&
        !feed(reinterpret_cast<const unsigned char*>(first.data()), first.size())) {
        return;
    }
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
    if (bad_close_code_) {
        end("websocket_error", "bad_close_code");
        return;
    }
    if (size > 0 && !feed(buffer_.data(), size)) {
        return;
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

bool Connection::feed(const unsigned char* data, std::size_t size) {
    last_activity_ = Clock::now();
    if (!heard_from_) {
        heard_from_ = true;
        ticket_.heard();
        // Only a trusted proxy may say whom it passes on; from anyone else the header is a lie
        // about an address, refused and counted as such.
        const auto header = parse_proxy_header(data, size).status;
        if (!player_.proxied && std::holds_alternative<tcp::socket>(link_) &&
            (header == ProxyHeader::Status::complete || header == ProxyHeader::Status::invalid)) {
            reporter_.refused(player_.address, player_.peer, "reason=untrusted_proxy", "");
            end("protocol_error", "proxy_header");
            return false;
        }
    }
    const StreamDecoder::Event event =
        settings_.latency_probe ? feed_probing(data, size) : decoder_.feed(data, size);
    if (event == StreamDecoder::Event::goodbye) {
        reporter_.goodbye();
        log_line("goodbye #" + std::to_string(id_) +
                 " updates=" + std::to_string(decoder_.updates_received()) +
                 " last_x=" + std::to_string(decoder_.last_x()));
    } else if (event == StreamDecoder::Event::protocol_error) {
        end("protocol_error", error_name(decoder_.error()));
        return false;
    }
    return true;
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
            reporter_.delay((now - sent) & 0x7FFFFFFFu);
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
    const GameSettings::SilenceLimit limit = settings_.silence_limit(heard_from_);
    if (limit.after == GameSettings::Duration::zero()) {
        return;
    }
    silence_timer_.expires_at(last_activity_ + limit.after);
    silence_timer_.async_wait([self = shared_from_this()](const error_code& ec) {
        if (ec || self->ended_) {
            return;
        }
        const auto now_limit = self->settings_.silence_limit(self->heard_from_);
        if (now_limit.after != GameSettings::Duration::zero() &&
            Clock::now() >= self->last_activity_ + now_limit.after) {
            self->end(now_limit.reason);
        } else {
            self->wait_silence();
        }
    });
}

// A WebSocket that is still open gets a close frame with the reason's code (RFC 6455, 7.4.1);
// its socket closes when the peer answers, or within close_bound whatever the peer does. One
// whose peer closed, reset or broke the protocol is already closed or closing.
void Connection::close_link(const char* reason) {
    auto* ws = std::get_if<WebSocket>(&link_);
    if (ws == nullptr) {
        error_code ignored;
        std::get<tcp::socket>(link_).close(ignored);
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
    // Shares ownership of this connection, which keeps its ticket until then.
    const auto bound = ticket_.stopping() ? GameSettings::Duration(stop_close_bound)
                                          : GameSettings::Duration(close_bound);
    close_websocket(std::shared_ptr<WebSocket>(shared_from_this(), ws), ticket_, player_.address,
                    code, bound);
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
    reporter_.ended(decoder_.updates_received(), decoder_.goodbye_seen());
}
