// One connection to the web port: serves the page's files from memory, refuses every other
// request with a status and nothing else, and hands a WebSocket upgrade of "/" to the Server as
// a game connection. Bounded in time (a request must arrive whole within a few seconds, a
// response must keep moving) and in memory (headers up to 8 KiB, no bodies).
#pragma once

#include "server/address_limits.h"
#include "server/connection.h"
#include "server/net.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class Server;

// Made by the Server for each accepted web connection; owned by its handlers in flight.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    // A request's header must arrive whole within this, counted from the connection or from the
    // end of the previous response: a browser sends it in one piece, so only a client dribbling
    // it (or idling between requests) meets it.
    static constexpr std::chrono::seconds header_timeout{5};
    // A page must make progress within this on every write (a slow reader of the page's few MB
    // still gets it; one that stops reading is cut off); a refusal within Server::close_bound.
    static constexpr std::chrono::seconds write_timeout{10};
    static constexpr std::size_t header_limit = 8192;
    // A refused page request is told to come back after this (Retry-After).
    static constexpr int busy_retry_seconds = 2;

    // open: the socket's share of its address's count (empty for a trusted proxy).
    HttpSession(Server& server, tcp::socket socket, AddressHold open);
    ~HttpSession();

    void start();
    // Answers 503 (come back in a moment) without reading the request, then closes: the limits
    // refused this connection.
    void answer_busy();
    // Closes at once: the server is stopping.
    void stop();
    // Waiting for the next request on a kept-alive connection, none of it received yet.
    bool idle() const { return idle_ && buffer_.size() == 0; }
    AddressLimits::Key address_key() const { return AddressLimits::key_of(peer_.address()); }
    // Closes an idle connection so that another may take its place: its share is given back
    // and the Server forgets it now.
    void make_room();

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
    void upgrade();
    void linger_close();
    void close();
    void arm(net::steady_timer::duration limit);

    Server& server_;
    tcp::socket socket_;
    tcp::endpoint peer_;
    AddressHold open_;
    net::steady_timer deadline_;
    boost::beast::flat_buffer buffer_{header_limit};
    std::optional<Request> request_;
    bool head_ = false;
    bool idle_ = false;
    bool busy_ = false; // answering a refusal
    std::optional<Response> response_;
    std::optional<
        boost::beast::http::response_serializer<boost::beast::http::span_body<const char>>>
        serializer_;
    std::string text_;
    std::unique_ptr<WebSocket> upgrading_;
    std::array<char, 4096> drain_{};
};
