#include "server/server.h"

#include "server/event_log.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <utility>

namespace {

Server::Duration seconds_to_duration(double seconds) {
    return std::chrono::duration_cast<Server::Duration>(std::chrono::duration<double>(seconds));
}

} // namespace

Server::Server(net::io_context& io, const Options& options)
    : options_(options), acceptor_(io), retry_timer_(io), signals_(io, SIGINT, SIGTERM),
      idle_timeout_(seconds_to_duration(options.idle_timeout_seconds)),
      first_byte_timeout_(seconds_to_duration(options.first_byte_timeout_seconds)) {}

std::string Server::start() {
    error_code ec;
    const net::ip::tcp::endpoint endpoint(net::ip::make_address(options_.host), options_.port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        return "cannot listen on " + endpoint_text(endpoint) + ": " + ec.message();
    }
    log_line("listening on " + endpoint_text(acceptor_.local_endpoint()));
    signals_.async_wait([this](const error_code& error, int) {
        if (!error) {
            stop();
        }
    });
    accept();
    return "";
}

Server::Duration Server::silence_limit(bool heard_from) const {
    if (heard_from || first_byte_timeout_ == Duration::zero()) {
        return idle_timeout_;
    }
    if (idle_timeout_ == Duration::zero()) {
        return first_byte_timeout_;
    }
    return std::min(first_byte_timeout_, idle_timeout_);
}

void Server::on_end(std::uint64_t id, std::uint64_t updates, bool said_goodbye) {
    updates_ += updates;
    if (!said_goodbye) {
        ++dropped_;
    }
    connections_.erase(id);
}

void Server::accept() {
    acceptor_.async_accept(peer_, [this](const error_code& ec, net::ip::tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (ec) {
            // EMFILE and its kin persist while the backlog is non-empty; retrying at once
            // would spin, and giving up would leave the game without a server.
            log_line("accept_error retry_in_ms=100 detail=" + ec.message());
            retry_timer_.expires_after(std::chrono::milliseconds(100));
            retry_timer_.async_wait([this](const error_code& error) {
                if (!error && !stopping_) {
                    accept();
                }
            });
            return;
        }
        if (connections_.size() >= options_.max_clients) {
            ++refused_;
            log_line("refused " + endpoint_text(peer_) + " reason=connection_limit max_clients=" +
                     std::to_string(options_.max_clients));
            error_code ignored;
            socket.close(ignored);
        } else {
            const std::uint64_t id = ++clients_;
            log_line("joined #" + std::to_string(id) + " " + endpoint_text(peer_));
            auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
            connections_[id] = connection;
            connection->start();
        }
        accept();
    });
}

void Server::stop() {
    stopping_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    retry_timer_.cancel();
    // end() erases from connections_, so walk a copy.
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
