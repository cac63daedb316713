// The listening side: accepts game connections on the TCP port and, with a web root, page
// requests and WebSockets on the web port, up to the limits (in all, and per address); keeps
// the table of open game connections, ends them all on SIGINT or SIGTERM and prints the summary.
// Single-threaded on one io_context, so connections share no state that needs locking.
#pragma once

#include "server/address_limits.h"
#include "server/connection.h"
#include "server/delay_histogram.h"
#include "server/net.h"
#include "server/options.h"
#include "server/web_files.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class HttpSession;

// Made by main, lives until io.run() returns.
class Server {
  public:
    using Duration = net::steady_timer::duration;
    // Refused page requests answered at once (with 503); the rest are closed unanswered.
    static constexpr std::size_t busy_answers_at_once = 32;

    // How long a socket may take to close once its connection has ended, whatever the peer does:
    // one that stops reading would otherwise hold a close frame (or the pong before it) for ever.
    static constexpr std::chrono::seconds close_bound{2};

    // files: the page (empty without --web-root).
    Server(net::io_context& io, const Options& options, WebFiles files);

    // Returns an empty string when listening, else why not.
    std::string start();

    // How long a connection may stay silent before it is closed (zero: for ever), and the
    // reason its line then gives. Before its first byte, the shorter of the first-byte and the
    // idle timeout that are on; after it, the idle timeout.
    struct SilenceLimit {
        Duration after;
        const char* reason;
    };
    SilenceLimit silence_limit(bool heard_from) const;

    void on_goodbye() { ++goodbyes_; }

    bool latency_probe() const { return options_.latency_probe; }
    void record_delay(std::uint32_t us) { delays_.add(us); }

    void on_end(std::uint64_t id, std::uint64_t updates, bool said_goodbye);

    // For the web sessions.
    const WebFiles& files() const { return files_; }
    AddressLimits& address_limits() { return limits_; }
    bool trusted_proxy(net::ip::address address) const;
    // Whether a WebSocket whose Origin header says origin may join; own: the origin of the
    // page it was served on (scheme://Host).
    bool allowed_origin(std::string_view origin, std::string_view own) const;
    // A refused page request's answer (503) has been sent, or given up.
    void on_busy_answered() { --busy_answers_; }
    // Sessions add themselves while they live, so that a stop can end them.
    void add_web_session(HttpSession* session) { web_sessions_.insert(session); }
    void remove_web_session(HttpSession* session) { web_sessions_.erase(session); }
    bool stopping() const { return stopping_; }
    // Logs and counts a refused connection: "refused PEER WHY KIND".
    void refuse(const std::string& peer, const std::string& why, const char* kind);
    // Sends ws a close frame with code; its socket closes when the peer answers, or after
    // close_bound, or at once when the server stops. ws keeps what it owns until then.
    void close_websocket(std::shared_ptr<WebSocket> ws, boost::beast::websocket::close_code code);
    // A WebSocket whose handshake is done: joins it as a game connection, or closes it with
    // 1013 (try again later) when the limits refuse it. player: the address it counts for;
    // peer: how its lines name it; open: its socket's share of its address's count (empty
    // behind a trusted proxy, whose player is counted here).
    void join_websocket(WebSocket ws, const net::ip::address& player, const std::string& peer,
                        AddressHold open);

  private:
    void accept();
    void accept_web();
    void stop();
    // The refusal's "reason=..." text for one more game connection, or empty when it fits.
    std::string game_refusal(const AddressLimits::Key& key, bool new_socket) const;
    void join(std::variant<tcp::socket, WebSocket> link, const std::string& peer, const char* kind,
              AddressHold open, AddressHold silent);
    // The refusal's "reason=..." text for one more page connection from key, or empty when it
    // fits, once an idle one has made room if it had to.
    std::string page_refusal(const AddressLimits::Key& key, bool proxy);
    // Closes one idle keep-alive page connection (of key, or of any address), if there is one.
    bool close_idle_page(const AddressLimits::Key* key);
    // Retries an accept after EMFILE and its kin.
    void retry_accept(tcp::acceptor& acceptor, const error_code& ec, void (Server::*again)());

    Options options_;
    WebFiles files_;
    AddressLimits limits_;
    AddressLimits page_limits_; // page connections: their own budget per address
    std::vector<net::ip::address> trusted_proxies_;
    tcp::acceptor acceptor_;
    tcp::endpoint peer_;
    tcp::acceptor web_acceptor_;
    tcp::endpoint web_peer_;
    net::steady_timer retry_timer_;
    net::steady_timer web_retry_timer_;
    net::signal_set signals_;
    Duration idle_timeout_;
    Duration first_byte_timeout_;
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    std::set<HttpSession*> web_sessions_;
    std::size_t busy_answers_ = 0; // of web_sessions_, those answering a refusal
    // WebSockets whose close is under way, each with what cuts it short.
    std::map<std::uint64_t, std::function<void()>> closing_;
    std::uint64_t closes_ = 0;
    bool stopping_ = false;
    std::uint64_t clients_ = 0;
    std::uint64_t updates_ = 0;
    std::uint64_t goodbyes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t refused_ = 0;
    DelayHistogram delays_;
};
