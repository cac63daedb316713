#include "server/server.h"

#include "server/connection.h"
#include "server/event_log.h"
#include "server/listening.h"
#include "server/proxied_accept.h"

#include <chrono>
#include <csignal>
#include <utility>

namespace {

GameSettings::Duration seconds_to_duration(double seconds) {
    return std::chrono::duration_cast<GameSettings::Duration>(
        std::chrono::duration<double>(seconds));
}

} // namespace

Budgets budgets_of(const Options& options) {
    // As many closing sockets as game slots: every player may be leaving at once.
    return Budgets{options.max_clients, options.max_page_connections, options.max_clients};
}

Shares shares_of(const Options& options) {
    return Shares{options.max_per_address, options.max_silent_per_address,
                  options.max_page_per_address, options.max_per_address};
}

Server::Server(net::io_context& io, const Options& options, WebFiles files)
    : options_(options), files_(std::move(files)),
      trust_(options.trusted_proxies, options.allowed_origins),
      game_{seconds_to_duration(options.idle_timeout_seconds),
            seconds_to_duration(options.first_byte_timeout_seconds), options.latency_probe},
      ledger_(budgets_of(options), shares_of(options)), web_{files_, trust_, ledger_, *this, game_},
      acceptor_(io), web_acceptor_(io), retry_timer_(io), web_retry_timer_(io),
      signals_(io, SIGINT, SIGTERM), refusals_(io.get_executor()) {}

std::string Server::start() {
    const auto host = net::ip::make_address(options_.host);
    std::string failure = listen_on(acceptor_, tcp::endpoint(host, options_.port));
    if (failure.empty() && !options_.web_root.empty()) {
        const auto web_host =
            options_.web_host.empty() ? host : net::ip::make_address(options_.web_host);
        failure = listen_on(web_acceptor_, tcp::endpoint(web_host, options_.web_port));
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

std::uint64_t Server::joined(const std::string& peer, const char* kind) {
    const std::uint64_t id = ++clients_;
    log_line("joined #" + std::to_string(id) + " " + peer + kind);
    return id;
}

void Server::ended(std::uint64_t updates, bool said_goodbye) {
    updates_ += updates;
    if (!said_goodbye) {
        ++dropped_;
    }
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
        admit_game(std::move(socket), peer_);
        accept();
    });
}

void Server::admit_game(tcp::socket socket, const tcp::endpoint& peer) {
    const net::ip::address address = peer.address();
    // A proxy's connection counts for the player its header names, once it is read; until then
    // only against the slots in all.
    const bool proxy = trust_.proxy(address);
    const std::string why = ledger_.refusal(Kind::game, address, true, !proxy);
    if (!why.empty()) {
        refused(address, endpoint_text(peer), why, "");
        error_code ignored;
        socket.close(ignored);
    } else if (proxy) {
        accept_from_proxy(*this, game_, std::move(socket),
                          ledger_.admit(Kind::game, address, true, false), peer);
    } else {
        join_game(*this, game_, std::move(socket), ledger_.admit(Kind::game, address, true),
                  Player{address, endpoint_text(peer), false});
    }
}

void Server::accept_web() {
    web_acceptor_.async_accept(web_peer_, [this](const error_code& ec, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (ec) {
            retry_accept(web_acceptor_, ec, &Server::accept_web);
            return;
        }
        admit_page(std::move(socket), web_peer_);
        accept_web();
    });
}

// Page connections have a budget of their own, apart from the game connections, so that neither
// can crowd out the other; a trusted proxy's are limited only in all. At a limit a connection
// gives way if one can (ledger's make_page_room); a refused one is told to come back (503,
// Retry-After) when the ledger has room for it to close, else closed unanswered: the refusal
// costs the refuser's share, not the server's.
void Server::admit_page(tcp::socket socket, const tcp::endpoint& peer) {
    const net::ip::address address = peer.address();
    const bool shared = !trust_.proxy(address);
    std::string why = ledger_.refusal(Kind::page, address, false, shared);
    for (int tries = 0; !why.empty() && tries < 2; ++tries) {
        const bool in_all = why.rfind("reason=connection_limit", 0) == 0;
        if (!ledger_.make_page_room(address, !in_all)) {
            break;
        }
        why = ledger_.refusal(Kind::page, address, false, shared);
    }
    if (why.empty()) {
        std::make_shared<HttpSession>(web_, std::move(socket),
                                      ledger_.admit(Kind::page, address, false, shared))
            ->start();
        return;
    }
    refused(address, endpoint_text(peer), why, " http");
    if (ledger_.refusal(Kind::closing, address, false).empty()) {
        std::make_shared<HttpSession>(web_, std::move(socket),
                                      ledger_.admit(Kind::closing, address, false))
            ->answer_busy();
    } else {
        error_code ignored;
        socket.close(ignored);
    }
}

void Server::stop() {
    stopping_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    web_acceptor_.close(ignored);
    retry_timer_.cancel();
    web_retry_timer_.cancel();
    ledger_.stop_all();
    refusals_.flush();
    if (options_.latency_probe) {
        log_line("latency: samples=" + std::to_string(delays_.samples()) +
                 " median_us=" + std::to_string(delays_.quantile(0.5)) +
                 " p99_us=" + std::to_string(delays_.quantile(0.99)) +
                 " max_us=" + std::to_string(delays_.max()));
    }
    log_line("stopped: clients=" + std::to_string(clients_) +
             " updates=" + std::to_string(updates_) + " goodbyes=" + std::to_string(goodbyes_) +
             " dropped=" + std::to_string(dropped_) +
             " refused=" + std::to_string(refusals_.total()));
}
