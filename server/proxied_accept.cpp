#include "server/proxied_accept.h"

#include "server/connection.h"
#include "server/event_log.h"
#include "server/proxy_header.h"

#include <array>
#include <memory>

namespace {

class ProxiedAccept : public std::enable_shared_from_this<ProxiedAccept> {
  public:
    ProxiedAccept(Reporter& reporter, const GameSettings& settings, tcp::socket socket,
                  Ticket ticket, const tcp::endpoint& proxy)
        : reporter_(reporter), settings_(settings), socket_(std::move(socket)),
          ticket_(std::move(ticket)), proxy_(proxy), timer_(socket_.get_executor()) {}

    void start() {
        ticket_.on_stop([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->close();
            }
        });
        const auto limit = settings_.silence_limit(false).after;
        if (limit != GameSettings::Duration::zero()) {
            timer_.expires_after(limit);
            timer_.async_wait([self = shared_from_this()](const error_code& ec) {
                if (!ec) {
                    self->close();
                }
            });
        }
        read();
    }

  private:
    void close() {
        error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
    }

    void read() {
        socket_.async_read_some(
            net::buffer(bytes_.data() + size_, bytes_.size() - size_),
            [self = shared_from_this()](const error_code& ec, std::size_t got) {
                self->size_ += got;
                if (ec) {
                    self->close(); // gone before saying anything, or timed out, or stopped
                    return;
                }
                self->on_bytes();
            });
    }

    void on_bytes() {
        const ProxyHeader header = parse_proxy_header(bytes_.data(), size_);
        const std::string proxy_text = endpoint_text(proxy_);
        if (header.status == ProxyHeader::Status::incomplete) {
            read();
            return;
        }
        timer_.cancel();
        if (header.status == ProxyHeader::Status::invalid) {
            reporter_.refused(proxy_.address(), proxy_text, "reason=proxy_header", "");
            close();
            return;
        }
        const bool named = header.status == ProxyHeader::Status::complete && header.has_source;
        const Player player{named ? header.source : proxy_.address(),
                            named ? header.source.to_string() + " via " + proxy_text : proxy_text,
                            true};
        const std::size_t skip = header.status == ProxyHeader::Status::complete ? header.size : 0;
        std::string first(reinterpret_cast<const char*>(bytes_.data()) + skip, size_ - skip);
        const std::string why = ticket_.change(Kind::game, player.address, first.empty());
        if (!why.empty()) {
            reporter_.refused(player.address, player.peer, why, "");
            close();
            return;
        }
        join_game(reporter_, settings_, std::move(socket_), std::move(ticket_), player,
                  std::move(first));
    }

    Reporter& reporter_;
    const GameSettings& settings_;
    tcp::socket socket_;
    Ticket ticket_;
    tcp::endpoint proxy_;
    net::steady_timer timer_;
    std::array<unsigned char, proxy_header_limit> bytes_{};
    std::size_t size_ = 0;
};

} // namespace

void accept_from_proxy(Reporter& reporter, const GameSettings& settings, tcp::socket socket,
                       Ticket ticket, const tcp::endpoint& proxy) {
    std::make_shared<ProxiedAccept>(reporter, settings, std::move(socket), std::move(ticket), proxy)
        ->start();
}
