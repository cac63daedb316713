#include "server/server.h"

#include "server/event_log.h"
#include "server/http_session.h"
#include "server/origin.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <utility>

namespace {

Server::Duration seconds_to_duration(double seconds) {
    return std::chrono::duration_cast<Server::Duration>(std::chrono::duration<double>(seconds));
}

// Returns an empty string when acceptor listens on endpoint, else why not.
std::string listen_on(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    return ec ? "cannot listen on " + endpoint_text(endpoint) + ": " + ec.message() : "";
}

std::string page_url(const net::ip::address& address, unsigned short port) {
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return "http://" + host + ":" + std::to_string(port) + "/";
}

// No browser opens http://0.0.0.0:8080/: a listener on every address says so, with the address
// that reaches it from this machine (players elsewhere use one of the machine's own).
std::string page_line(const tcp::acceptor& acceptor) {
    const tcp::endpoint local = acceptor.local_endpoint();
    const net::ip::address address = local.address();
    if (!address.is_unspecified()) {
        return "serving the page at " + page_url(address, local.port());
    }
    const char* every = "every IPv4 address";
    net::ip::address here = net::ip::address_v4::loopback();
    if (address.is_v6()) {
        net::ip::v6_only v6_only;
        error_code ec;
        acceptor.get_option(v6_only, ec);
        every = !ec && v6_only.value() ? "every IPv6 address" : "every address";
        here = net::ip::address_v6::loopback();
    }
    return std::string("serving the page on ") + every + ", port " + std::to_string(local.port()) +
           " (from this machine: " + page_url(here, local.port()) + ")";
}

} // namespace

Server::Server(net::io_context& io, const Options& options, WebFiles files)
    : options_(options), files_(std::move(files)),
      limits_(options.max_per_address, options.max_silent_per_address),
      page_limits_(options.max_page_per_address, 0), acceptor_(io), web_acceptor_(io),
      retry_timer_(io), web_retry_timer_(io), signals_(io, SIGINT, SIGTERM),
      idle_timeout_(seconds_to_duration(options.idle_timeout_seconds)),
      first_byte_timeout_(seconds_to_duration(options.first_byte_timeout_seconds)) {
    for (const auto& text : options.trusted_proxies) {
        net::ip::address proxy = net::ip::make_address(text);
        // Peers are compared as IPv4 where they can be, so a proxy named as IPv4-mapped must be.
        if (proxy.is_v6() && proxy.to_v6().is_v4_mapped()) {
            proxy = net::ip::make_address_v4(net::ip::v4_mapped, proxy.to_v6());
        }
        trusted_proxies_.push_back(proxy);
    }
}

std::string Server::start() {
    const auto host = net::ip::make_address(options_.host);
    std::string failure = listen_on(acceptor_, tcp::endpoint(host, options_.port));
    if (failure.empty() && !options_.web_root.empty()) {
        failure = listen_on(web_acceptor_, tcp::endpoint(host, options_.web_port));
    }
    if (!failure.empty()) {
        return failure;
    }
    log_line("listening on " + endpoint_text(acceptor_.local_endpoint()));
    if (web_acceptor_.is_open()) {
        log_line(page_line(web_acceptor_));
        accept_web();
    }
    signals_.async_wait([this](const error_code& error, int) {
        if (!error) {
            stop();
        }
    });
    accept();
    return "";
}

Server::SilenceLimit Server::silence_limit(bool heard_from) const {
    const bool first_byte_rules =
        !heard_from && first_byte_timeout_ != Duration::zero() &&
        (idle_timeout_ == Duration::zero() || first_byte_timeout_ <= idle_timeout_);
    return first_byte_rules ? SilenceLimit{first_byte_timeout_, "first_byte_timeout"}
                            : SilenceLimit{idle_timeout_, "idle_timeout"};
}

bool Server::trusted_proxy(net::ip::address address) const {
    // A listener on "::" sees an IPv4 proxy as its IPv4-mapped IPv6 address.
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    }
    return std::find(trusted_proxies_.begin(), trusted_proxies_.end(), address) !=
           trusted_proxies_.end();
}

bool Server::allowed_origin(std::string_view origin, std::string_view own) const {
    const std::string normal = normal_origin(origin);
    const auto& allowed = options_.allowed_origins;
    return !normal.empty() && (normal == normal_origin(own) ||
                               std::find(allowed.begin(), allowed.end(), normal) != allowed.end());
}

void Server::on_end(std::uint64_t id, std::uint64_t updates, bool said_goodbye) {
    updates_ += updates;
    if (!said_goodbye) {
        ++dropped_;
    }
    connections_.erase(id);
}

std::string Server::game_refusal(const AddressLimits::Key& key, bool new_socket) const {
    // A socket still closing holds its descriptor, so it takes a slot until it is gone.
    if (connections_.size() + closing_.size() >= options_.max_clients) {
        return "reason=connection_limit max_clients=" + std::to_string(options_.max_clients);
    }
    return limits_.refusal(key, new_socket, true);
}

void Server::refuse(const std::string& peer, const std::string& why, const char* kind) {
    ++refused_;
    log_line("refused " + peer + " " + why + kind);
}

void Server::join(std::variant<tcp::socket, WebSocket> link, const std::string& peer,
                  const char* kind, AddressHold open, AddressHold silent) {
    const std::uint64_t id = ++clients_;
    log_line("joined #" + std::to_string(id) + " " + peer + kind);
    auto connection = std::make_shared<Connection>(*this, std::move(link), id, std::move(open),
                                                   std::move(silent));
    connections_[id] = connection;
    connection->start();
}

void Server::retry_accept(tcp::acceptor& acceptor, const error_code& ec, void (Server::*again)()) {
    // EMFILE and its kin persist while the backlog is non-empty; retrying at once would spin,
    // and giving up would leave the game without a server.
    log_line("accept_error retry_in_ms=100 detail=" + ec.message());
    auto& timer = &acceptor == &acceptor_ ? retry_timer_ : web_retry_timer_;
    timer.expires_after(std::chrono::milliseconds(100));
    timer.async_wait([this, again](const error_code& error) {
        if (!error && !stopping_) {
            (this->*again)();
        }
    });
}

void Server::accept() {
    acceptor_.async_accept(peer_, [this](const error_code& ec, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (ec) {
            retry_accept(acceptor_, ec, &Server::accept);
            return;
        }
        const AddressLimits::Key key = AddressLimits::key_of(peer_.address());
        const std::string why = game_refusal(key, true);
        if (!why.empty()) {
            refuse(endpoint_text(peer_), why, "");
            error_code ignored;
            socket.close(ignored);
        } else {
            join(std::move(socket), endpoint_text(peer_), "",
                 AddressHold(limits_, key, true, false), AddressHold(limits_, key, false, true));
        }
        accept();
    });
}

std::string Server::page_refusal(const AddressLimits::Key& key, bool proxy) {
    if (!proxy && !page_limits_.refusal(key, true, false).empty() && !close_idle_page(&key)) {
        return "reason=page_limit max_page_per_address=" +
               std::to_string(options_.max_page_per_address);
    }
    if (web_sessions_.size() - busy_answers_ >= options_.max_clients && !close_idle_page(nullptr)) {
        return "reason=connection_limit max_clients=" + std::to_string(options_.max_clients);
    }
    return "";
}

// A browser keeps connections it has finished with open for later, and opens a new one when it
// finds one closed: such a connection is the cheapest to take back.
bool Server::close_idle_page(const AddressLimits::Key* key) {
    for (HttpSession* session : web_sessions_) {
        if (session->idle() && (key == nullptr || session->address_key() == *key)) {
            session->make_room();
            return true;
        }
    }
    return false;
}

// Page requests are bounded in all by --max-clients too, apart from the game connections, so
// that neither can crowd out the other. A refused one is told to come back (503, Retry-After).
void Server::accept_web() {
    web_acceptor_.async_accept(web_peer_, [this](const error_code& ec, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (ec) {
            retry_accept(web_acceptor_, ec, &Server::accept_web);
            return;
        }
        const bool proxy = trusted_proxy(web_peer_.address());
        const AddressLimits::Key key = AddressLimits::key_of(web_peer_.address());
        const std::string why = page_refusal(key, proxy);
        if (why.empty()) {
            std::make_shared<HttpSession>(*this, std::move(socket),
                                          proxy ? AddressHold()
                                                : AddressHold(page_limits_, key, true, false))
                ->start();
        } else {
            refuse(endpoint_text(web_peer_), why, " http");
            // Each answer holds its socket a second or so; past this many at once, a flood
            // gets its sockets closed unanswered rather than the server's descriptors.
            if (busy_answers_ < busy_answers_at_once) {
                ++busy_answers_;
                std::make_shared<HttpSession>(*this, std::move(socket), AddressHold())
                    ->answer_busy();
            } else {
                error_code ignored;
                socket.close(ignored);
            }
        }
        accept_web();
    });
}

void Server::join_websocket(WebSocket ws, const net::ip::address& player, const std::string& peer,
                            AddressHold open) {
    const AddressLimits::Key key = AddressLimits::key_of(player);
    const bool counted = open.holds();
    const std::string why = game_refusal(key, !counted);
    if (stopping_ || !why.empty()) {
        if (!stopping_) {
            refuse(peer, why, " websocket");
        }
        // The socket keeps its address's share until it is closed.
        struct Refused {
            WebSocket ws;
            AddressHold open;
        };
        auto refused = std::make_shared<Refused>(Refused{std::move(ws), std::move(open)});
        close_websocket(std::shared_ptr<WebSocket>(refused, &refused->ws),
                        boost::beast::websocket::close_code::try_again_later);
        return;
    }
    if (!counted) {
        open = AddressHold(limits_, key, true, false);
    }
    join(std::move(ws), peer, " websocket", std::move(open),
         AddressHold(limits_, key, false, true));
}

void Server::close_websocket(std::shared_ptr<WebSocket> ws,
                             boost::beast::websocket::close_code code) {
    const std::uint64_t id = ++closes_;
    auto deadline = std::make_shared<net::steady_timer>(ws->get_executor(), close_bound);
    // Closing the socket under the close also ends the read or pong it waits behind.
    auto cut = [ws, deadline] {
        error_code ignored;
        boost::beast::get_lowest_layer(*ws).close(ignored);
        deadline->cancel();
    };
    closing_[id] = cut;
    deadline->async_wait([cut](const error_code& ec) {
        if (!ec) {
            cut();
        }
    });
    ws->async_close(code, [this, id, cut](const error_code&) {
        cut();
        closing_.erase(id);
    });
}

void Server::stop() {
    stopping_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    web_acceptor_.close(ignored);
    retry_timer_.cancel();
    web_retry_timer_.cancel();
    // Each ends by removing itself, so walk copies.
    const auto sessions = web_sessions_;
    for (HttpSession* session : sessions) {
        session->stop();
    }
    // Those that ended before have had their chance to close; the rest get theirs now.
    const auto closing = closing_;
    for (const auto& entry : closing) {
        entry.second();
    }
    const auto open = connections_;
    for (const auto& entry : open) {
        entry.second->end("shutdown");
    }
    if (options_.latency_probe) {
        log_line("latency: samples=" + std::to_string(delays_.samples()) +
                 " median_us=" + std::to_string(delays_.quantile(0.5)) +
                 " p99_us=" + std::to_string(delays_.quantile(0.99)) +
                 " max_us=" + std::to_string(delays_.max()));
    }
    log_line("stopped: clients=" + std::to_string(clients_) +
             " updates=" + std::to_string(updates_) + " goodbyes=" + std::to_string(goodbyes_) +
             " dropped=" + std::to_string(dropped_) + " refused=" + std::to_string(refused_));
}
