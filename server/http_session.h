// One connection to the web port: serves the page's files from memory, refuses every other
// request with a status and nothing else, and hands a WebSocket upgrade of "/" on to its
// handshake (websocket_upgrade.h). Bounded in time (a request must arrive whole within a few
// seconds, a response must keep a minimum pace, a connection takes new requests for a minute at
// most) and in memory (headers up to 8 KiB, no bodies).
#pragma once

#include "server/admission.h"
#include "server/net.h"
#include "server/reporting.h"
#include "server/web_context.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Made by the Server for each accepted web connection; owned by its handlers in flight.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    // A request's header must arrive whole within this, counted from the connection or from the
    // end of the previous response: a browser sends it in one piece, so only a client dribbling
    // it (or idling between requests) meets it.
    static constexpr std::chrono::seconds header_timeout{5};
    // A response must move bytes_per_window in every rate_window (8 KiB/s, 64 kbit/s: a phone
    // on a slow line gets the game's 2.8 MB in six minutes), or it is reset.
    static constexpr std::chrono::seconds rate_window{5};
    static constexpr std::size_t bytes_per_window = 40 * 1024;
    static constexpr int send_buffer = 256 * 1024;
    // A connection takes no new request after this many, or this long: a browser opens another,
    // and a client that keeps one busy for ever cannot hold its slot for ever.
    static constexpr unsigned requests_per_connection = 100;
    static constexpr std::chrono::seconds new_requests_for{60};
    static constexpr std::size_t header_limit = 8192;
    // A refused page request is told to come back after this (Retry-After).
    static constexpr int busy_retry_seconds = 2;

    // ticket: charged as a page connection (or, answering a refusal, as closing).
    HttpSession(const WebContext& context, tcp::socket socket, Ticket ticket);

    void start();
    // Answers 503 (come back in a moment) without reading the request, then closes: the limits
    // refused this connection.
    void answer_busy();

  private:
    using Request = boost::beast::http::request_parser<boost::beast::http::empty_body>;
    using Response = boost::beast::http::response<boost::beast::http::span_body<const char>>;

    void read_request();
    void on_request(const error_code& ec);
    // body must outlive the response: a page file, or text_.
    void respond(boost::beast::http::status status, const char* type, std::string_view body,
                 bool keep_alive);
    // Answers with status and a line of text saying why, then closes.
    void refuse(boost::beast::http::status status);
    void write();
    void watch_pace();
    void upgrade();
    void linger_close();
    void close(bool reset = false);

    const WebContext& context_;
    boost::beast::tcp_stream stream_;
    tcp::endpoint peer_;
    Ticket ticket_;
    boost::beast::flat_buffer buffer_{header_limit};
    std::optional<Request> request_;
    bool head_ = false;
    unsigned requests_ = 0;
    net::steady_timer::time_point born_ = net::steady_timer::clock_type::now();
    net::steady_timer pace_timer_;
    std::size_t window_bytes_ = 0;
    std::optional<Response> response_;
    std::optional<
        boost::beast::http::response_serializer<boost::beast::http::span_body<const char>>>
        serializer_;
    std::string text_;
    std::array<char, 4096> drain_{};
};
