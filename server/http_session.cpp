#include "server/http_session.h"

#include "server/event_log.h"
#include "server/server.h"

#include <boost/beast/websocket.hpp>

#include <algorithm>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

// The browser game sends 4 or 5 bytes a message; anything near this is not our client.
constexpr std::size_t message_limit = 64 * 1024;

// Whether a comma-separated header value lists token.
bool lists(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
            item.remove_prefix(1);
        }
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
            item.remove_suffix(1);
        }
        if (item == token) {
            return true;
        }
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    return false;
}

// The last item of a comma-separated header that a proxy appends to (the items before it came
// from the client and prove nothing), trimmed; empty when there is none.
std::string last_item(const http::request<http::empty_body>& request, const char* name) {
    std::string_view last;
    const auto fields = request.equal_range(name);
    for (auto field = fields.first; field != fields.second; ++field) {
        last = std::string_view(field->value().data(), field->value().size());
    }
    const std::size_t comma = last.rfind(',');
    std::string text(comma == std::string_view::npos ? last : last.substr(comma + 1));
    text.erase(0, text.find_first_not_of(" \t"));
    text.erase(text.find_last_not_of(" \t") + 1);
    return text;
}

// The address a trusted proxy appended last to X-Forwarded-For; false when there is none or it
// is not an address.
bool forwarded_for(const http::request<http::empty_body>& request, net::ip::address& address) {
    const std::string text = last_item(request, "X-Forwarded-For");
    error_code ec;
    address = net::ip::make_address(text, ec);
    return !text.empty() && !ec;
}

// A header's value fit for a log line: at most 100 bytes, each space, control or non-ASCII byte
// as '?', so that what a client sends cannot pass for another field or line.
std::string printable(beast::string_view value) {
    std::string text(value.data(), std::min<std::size_t>(value.size(), 100));
    for (char& c : text) {
        if (c <= ' ' || c > '~') {
            c = '?';
        }
    }
    return text;
}

} // namespace

HttpSession::HttpSession(Server& server, tcp::socket socket, AddressHold open)
    : server_(server), socket_(std::move(socket)), open_(std::move(open)),
      deadline_(socket_.get_executor()) {
    error_code ignored;
    peer_ = socket_.remote_endpoint(ignored);
}

HttpSession::~HttpSession() {
    server_.remove_web_session(this);
    if (busy_) {
        server_.on_busy_answered();
    }
}

void HttpSession::start() {
    server_.add_web_session(this);
    read_request();
}

void HttpSession::answer_busy() {
    server_.add_web_session(this);
    busy_ = true;
    // A browser shows this when the page itself was refused, and loads it again.
    text_ = "<!doctype html><meta charset=utf-8><meta http-equiv=refresh content=" +
            std::to_string(busy_retry_seconds) +
            "><title>Brackenreach</title><p>The game server is busy. This page tries again in a "
            "moment.\n";
    respond(http::status::service_unavailable, "text/html; charset=utf-8", text_, false);
}

void HttpSession::stop() {
    close();
}

void HttpSession::make_room() {
    open_.release();
    server_.remove_web_session(this);
    close();
}

void HttpSession::arm(net::steady_timer::duration limit) {
    deadline_.expires_after(limit);
    deadline_.async_wait([self = shared_from_this()](const error_code& ec) {
        if (!ec) {
            self->close();
        }
    });
}

void HttpSession::close() {
    error_code ignored;
    deadline_.cancel();
    socket_.close(ignored);
    if (upgrading_) {
        beast::get_lowest_layer(*upgrading_).close(ignored);
    }
}

void HttpSession::read_request() {
    if (server_.stopping()) {
        close();
        return;
    }
    request_.emplace();
    request_->header_limit(header_limit);
    arm(header_timeout);
    http::async_read_header(
        socket_, buffer_, *request_,
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->on_request(ec); });
}

void HttpSession::on_request(const error_code& ec) {
    idle_ = false;
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        refuse(http::status::request_header_fields_too_large);
        return;
    }
    if (ec == http::error::body_limit) {
        refuse(http::status::payload_too_large);
        return;
    }
    if (ec == http::error::end_of_stream || ec == net::error::operation_aborted ||
        ec == net::error::eof || ec == net::error::connection_reset || !socket_.is_open()) {
        close(); // gone, timed out or stopped: no one to answer
        return;
    }
    if (ec) {
        refuse(http::status::bad_request);
        return;
    }
    const auto& request = request_->get();
    const bool head = request.method() == http::verb::head;
    if (request.method() != http::verb::get && !head) {
        refuse(http::status::method_not_allowed);
        return;
    }
    // No request here has a body, and reading one would only cost time and memory.
    if (request_->chunked() || request_->content_length().value_or(0) > 0) {
        refuse(http::status::payload_too_large);
        return;
    }
    if (request.version() >= 11 && request.find(http::field::host) == request.end()) {
        refuse(http::status::bad_request);
        return;
    }
    // A coding other than chunked leaves the body's end unknown, and two Hosts leave the site
    // unknown: a proxy in front may read either differently, so neither is guessed at.
    if (request.count(http::field::transfer_encoding) > 0 || request.count(http::field::host) > 1) {
        refuse(http::status::bad_request);
        return;
    }
    const std::string_view target(request.target().data(), request.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    if (websocket::is_upgrade(request) && path == "/" && !head) {
        upgrade();
        return;
    }
    const WebFile* file = websocket::is_upgrade(request) ? nullptr : server_.files().find(path);
    if (file == nullptr) {
        refuse(http::status::not_found);
        return;
    }
    head_ = head;
    respond(http::status::ok, file->content_type.c_str(), file->bytes, request.keep_alive());
}

void HttpSession::refuse(http::status status) {
    text_ = std::to_string(static_cast<unsigned>(status)) + " " +
            std::string(http::obsolete_reason(status)) + "\n";
    head_ = false;
    respond(status, "text/plain; charset=utf-8", text_, false);
}

void HttpSession::respond(http::status status, const char* type, std::string_view body,
                          bool keep_alive) {
    response_.emplace(status, 11);
    response_->set(http::field::content_type, type);
    response_->set(http::field::cache_control, "no-cache");
    response_->set("X-Content-Type-Options", "nosniff");
    if (status == http::status::method_not_allowed) {
        response_->set(http::field::allow, "GET, HEAD");
    }
    if (status == http::status::service_unavailable) {
        response_->set(http::field::retry_after, std::to_string(busy_retry_seconds));
    }
    response_->body() = http::span_body<const char>::value_type(body.data(), body.size());
    response_->keep_alive(keep_alive);
    response_->prepare_payload();
    if (head_) {
        response_->body() = {};
    }
    serializer_.emplace(*response_);
    write();
}

void HttpSession::write() {
    // A refusal's few bytes fit any socket's buffer: one that cannot take them is not reading.
    arm(response_->result() == http::status::ok ? write_timeout : Server::close_bound);
    http::async_write_some(socket_, *serializer_,
                           [self = shared_from_this()](const error_code& ec, std::size_t) {
                               if (ec) {
                                   self->close();
                               } else if (!self->serializer_->is_done()) {
                                   self->write();
                               } else if (self->response_->keep_alive()) {
                                   self->idle_ = true;
                                   self->read_request();
                               } else {
                                   self->linger_close();
                               }
                           });
}

// Closing with unread bytes from the client would reset the connection and could take the
// answer with it; so stop sending, read what still comes for a moment, then close.
void HttpSession::linger_close() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    arm(std::chrono::seconds(1));
    socket_.async_read_some(net::buffer(drain_),
                            [self = shared_from_this()](const error_code& ec, std::size_t) {
                                if (ec) {
                                    self->close();
                                } else {
                                    self->socket_.async_read_some(
                                        net::buffer(self->drain_),
                                        [self](const error_code&, std::size_t) { self->close(); });
                                }
                            });
}

void HttpSession::upgrade() {
    auto request = request_->release();
    net::ip::address player = peer_.address();
    std::string peer = endpoint_text(peer_);
    std::string scheme = "http";
    if (server_.trusted_proxy(peer_.address())) {
        net::ip::address forwarded;
        if (forwarded_for(request, forwarded)) {
            player = forwarded;
            peer = forwarded.to_string() + " via " + peer;
        }
        if (last_item(request, "X-Forwarded-Proto") == "https") {
            scheme = "https"; // the page came over TLS to the proxy
        }
    }
    // Without this check any site could have its visitors' browsers join as players. Programs
    // other than browsers send no Origin, and are not asked for one.
    const auto origin = request.find(http::field::origin);
    const auto host = request[http::field::host];
    if (origin != request.end() &&
        !server_.allowed_origin(std::string_view(origin->value().data(), origin->value().size()),
                                scheme + "://" + std::string(host.data(), host.size()))) {
        server_.refuse(peer, "reason=origin origin=" + printable(origin->value()), " websocket");
        refuse(http::status::forbidden);
        return;
    }
    const auto protocols = request[http::field::sec_websocket_protocol];
    const bool binary = lists(std::string_view(protocols.data(), protocols.size()), "binary");
    deadline_.cancel();
    upgrading_ = std::make_unique<WebSocket>(std::move(socket_));
    // What the client sent right behind its request (updates, even its goodbye) is its stream's
    // beginning, as a TCP client's first bytes are.
    auto& behind = upgrading_->next_layer().buffer();
    behind.commit(net::buffer_copy(behind.prepare(buffer_.size()), buffer_.data()));
    // The opening handshake is only our answer, and the closing one waits for the peer's close
    // frame: a second bounds both, and so how long a closing socket (and a stop) can linger.
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.handshake_timeout = std::chrono::seconds(1);
    upgrading_->set_option(timeouts);
    upgrading_->read_message_max(message_limit);
    // Emscripten's sockets ask for "binary", and Chromium fails the connection unless the
    // answer names it; a client that asked for nothing must get nothing.
    upgrading_->set_option(websocket::stream_base::decorator([binary](http::response_header<>& r) {
        if (binary) {
            r.set(http::field::sec_websocket_protocol, "binary");
        }
    }));
    // Joined, the socket counts as a game connection: its page share goes with this session.
    upgrading_->async_accept(
        request, [self = shared_from_this(), player, peer](const error_code& ec) {
            if (ec || self->server_.stopping()) {
                self->close();
                return;
            }
            self->server_.join_websocket(std::move(*self->upgrading_), player, peer, AddressHold());
            self->upgrading_.reset();
        });
}
