#include "server/http_session.h"

#include "server/websocket_upgrade.h"

#include <boost/beast/websocket/rfc6455.hpp>

namespace beast = boost::beast;
namespace http = beast::http;

HttpSession::HttpSession(const WebContext& context, tcp::socket socket, Ticket ticket)
    : context_(context), stream_(std::move(socket)), ticket_(std::move(ticket)),
      pace_timer_(stream_.get_executor()) {
    error_code ignored;
    peer_ = stream_.socket().remote_endpoint(ignored);
    // Loopback's send buffer grows to megabytes: the whole page would sit in the kernel, sent on
    // after any close to a reader that never takes it, and no pace of ours could be measured.
    stream_.socket().set_option(net::socket_base::send_buffer_size(send_buffer), ignored);
}

void HttpSession::start() {
    // Releases its place at once, so that the room it gives (at a stop, or to a newcomer) is real.
    ticket_.on_stop([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->ticket_.release();
            self->close();
        }
    });
    read_request();
}

void HttpSession::answer_busy() {
    ticket_.on_stop([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->close();
        }
    });
    // A browser shows this when the page itself was refused, and loads it again.
    text_ = "<!doctype html><meta charset=utf-8><meta http-equiv=refresh content=" +
            std::to_string(busy_retry_seconds) +
            "><title>Brackenreach</title><p>The game server is busy. This page tries again in a "
            "moment.\n";
    respond(http::status::service_unavailable, "text/html; charset=utf-8", text_, false);
}

void HttpSession::close(bool reset) {
    error_code ignored;
    pace_timer_.cancel();
    // A reset takes the unsent bytes with it: a plain close would leave the kernel sending them
    // on to a reader that does not take them.
    if (reset) {
        stream_.socket().set_option(net::socket_base::linger(true, 0), ignored);
    }
    stream_.socket().close(ignored);
}

void HttpSession::read_request() {
    if (context_.ledger.stopping()) {
        close();
        return;
    }
    request_.emplace();
    request_->header_limit(header_limit);
    // Kept alive after a response, with none of the next request here: the first to give way.
    ticket_.set_idle(requests_ > 0 && buffer_.size() == 0);
    stream_.expires_after(header_timeout);
    http::async_read_header(
        stream_, buffer_, *request_,
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->on_request(ec); });
}

void HttpSession::on_request(const error_code& ec) {
    ticket_.set_idle(false);
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        refuse(http::status::request_header_fields_too_large);
        return;
    }
    if (ec == http::error::body_limit) {
        refuse(http::status::payload_too_large);
        return;
    }
    if (ec == http::error::end_of_stream || ec == net::error::operation_aborted ||
        ec == beast::error::timeout || ec == net::error::eof ||
        ec == net::error::connection_reset || !stream_.socket().is_open()) {
        close(); // gone, timed out or stopped: no one to answer
        return;
    }
    if (ec) {
        refuse(http::status::bad_request);
        return;
    }
    ++requests_;
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
    const bool upgrading = beast::websocket::is_upgrade(request);
    if (upgrading && path == "/" && !head) {
        upgrade();
        return;
    }
    const WebFile* file = upgrading ? nullptr : context_.files.find(path);
    if (file == nullptr) {
        refuse(http::status::not_found);
        return;
    }
    head_ = head;
    const bool more = requests_ < requests_per_connection &&
                      net::steady_timer::clock_type::now() < born_ + new_requests_for;
    respond(http::status::ok, file->content_type.c_str(), file->bytes,
            request.keep_alive() && more);
}

void HttpSession::upgrade() {
    UpgradeFrom from;
    const http::status refusal = check_upgrade(context_, request_->get(), peer_, from);
    if (refusal != http::status::ok) {
        refuse(refusal);
        return;
    }
    pace_timer_.cancel();
    stream_.expires_never();
    start_handshake(context_, stream_.release_socket(), std::move(ticket_), request_->release(),
                    buffer_.data(), std::move(from));
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
    window_bytes_ = 0;
    watch_pace();
    write();
}

// Every rate_window, the response must have moved bytes_per_window (or be done): a reader that
// takes a few bytes now and then restarts no timeout of ours.
void HttpSession::watch_pace() {
    pace_timer_.expires_after(rate_window);
    pace_timer_.async_wait([self = shared_from_this()](const error_code& ec) {
        if (ec) {
            return;
        }
        if (self->window_bytes_ < bytes_per_window) {
            self->close(true);
            return;
        }
        self->window_bytes_ = 0;
        self->watch_pace();
    });
}

void HttpSession::write() {
    // A refusal's few bytes fit any socket's buffer: one that cannot take them is not reading. A
    // page is bounded by its pace alone (watch_pace): the stream's own timeout would close the
    // socket, not reset it, and leave its bytes to the kernel.
    if (response_->result() == http::status::ok) {
        stream_.expires_never();
    } else {
        stream_.expires_after(close_bound);
    }
    http::async_write_some(stream_, *serializer_,
                           [self = shared_from_this()](const error_code& ec, std::size_t size) {
                               self->window_bytes_ += size;
                               if (ec) {
                                   self->close(true); // not reading: timed out, or gone
                               } else if (!self->serializer_->is_done()) {
                                   self->write();
                               } else if (self->response_->keep_alive()) {
                                   self->pace_timer_.cancel();
                                   self->read_request();
                               } else {
                                   self->pace_timer_.cancel();
                                   self->linger_close();
                               }
                           });
}

// Closing with unread bytes from the client would reset the connection and could take the
// answer with it; so stop sending, read what still comes for a moment, then close.
void HttpSession::linger_close() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(std::chrono::seconds(1));
    stream_.async_read_some(net::buffer(drain_),
                            [self = shared_from_this()](const error_code& ec, std::size_t) {
                                if (ec) {
                                    self->close();
                                } else {
                                    self->stream_.async_read_some(
                                        net::buffer(self->drain_),
                                        [self](const error_code&, std::size_t) { self->close(); });
                                }
                            });
}
