// brackenreach-server: the Brackenreach game server. It accepts the clients' TCP connections,
// decodes each one's stream of x updates and its goodbye with StreamDecoder, and prints one line
// per event on stdout. It never writes to a client. Single-threaded and event-driven on
// standalone Asio, so connections share no state that needs locking.
#include "net/stream_decoder.h"
#include "net/wire.h"

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>


namespace {

const char* const usage_text =
    R"(Usage: brackenreach-server [options]

The Brackenreach game server. Each client opens one TCP connection and sends, with no header and
no separators, its x position as a 4-byte big-endian signed integer once per frame, then the
goodbye: the bytes "exit" and a zero byte. The server never writes back. It prints one line per
event on stdout: listening, joined, goodbye, dropped, left (closed after its goodbye), refused,
accept_error and, on SIGINT or SIGTERM, a stopped summary.

Options:
  --host H                 address to listen on (default 127.0.0.1)
  --port P                 TCP port, 0 picks a free one (default 1337)
  --max-clients N          connections served at once, more are refused (default 256)
  --idle-timeout SECONDS   close a connection that sends nothing this long; fractions allowed,
                           0 never closes (default 30)
  --latency-probe          measure the send-to-decode delay: read each x as the sender's
                           CLOCK_MONOTONIC time in microseconds modulo 2^31 (same machine) and,
                           before the stopped summary, print "latency: samples=N median_us=M
                           p99_us=P max_us=X" (median and p99 at most 1/32 high; 0 without samples)
  --help                   show this help and exit
)";

struct Options {
    std::string host = "127.0.0.1";
    unsigned short port = 1337;
    std::size_t max_clients = 256;
    double idle_timeout_seconds = 30;
    bool latency_probe = false;
};

// Log-linear buckets (exact below 64 us, then 32 per doubling) keep the memory fixed however
// many updates arrive, at the cost of up to 1/32 relative error in the quantiles.
class DelayHistogram {
  public:
    void add(std::uint32_t us) {
        ++counts_[bucket(us)];
        ++samples_;
        max_ = std::max(max_, us);
    }

    std::uint64_t samples() const { return samples_; }
    std::uint32_t max() const { return max_; }

    // The largest value the bucket of the sample at rank ceil(q * samples) can hold, capped at
    // the maximum seen so that p99 never exceeds max; 0 without samples.
    std::uint32_t quantile(double q) const {
        if (samples_ == 0) {
            return 0;
        }
        auto rank = static_cast<std::uint64_t>(q * static_cast<double>(samples_) + 0.999999);
        rank = std::max<std::uint64_t>(rank, 1);
        std::uint64_t seen = 0;
        for (std::size_t b = 0; b < counts_.size(); ++b) {
            seen += counts_[b];
            if (seen >= rank) {
                return static_cast<std::uint32_t>(std::min<std::uint64_t>(lower(b + 1) - 1, max_));
            }
        }
        return max_;
    }

  private:
    static constexpr int sub_bits = 5;
    static constexpr std::uint32_t linear = 2u << sub_bits;
    // Values are below 2^31, so the top doubling starts at 2^30.
    static constexpr std::size_t bucket_count = linear + (31 - (sub_bits + 1)) * (1u << sub_bits);

    static std::size_t bucket(std::uint32_t v) {
        if (v < linear) {
            return v;
        }
        const int top = 31 - __builtin_clz(v);
        return linear + static_cast<std::size_t>(top - (sub_bits + 1)) * (1u << sub_bits) +
               ((v >> (top - sub_bits)) & ((1u << sub_bits) - 1));
    }

    static std::uint64_t lower(std::size_t b) {
        if (b < linear) {
            return b;
        }
        const std::size_t k = b - linear;
        const int top = static_cast<int>(k >> sub_bits) + sub_bits + 1;
        return (std::uint64_t{1} << top) +
               (static_cast<std::uint64_t>(k & ((1u << sub_bits) - 1)) << (top - sub_bits));
    }

    std::array<std::uint64_t, bucket_count> counts_{};
    std::uint64_t samples_ = 0;
    std::uint32_t max_ = 0;
};

// Each line is flushed at once: the test harnesses read stdout through a pipe.
void log_line(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

bool parse_unsigned(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

// Returns an empty string on success, else what was wrong.
std::string parse_options(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_value = true;
        }
        if (name == "--help" || name == "-h") {
            help = true;
            continue;
        }
        if (name == "--latency-probe") {
            if (has_value) {
                return "--latency-probe takes no value";
            }
            options.latency_probe = true;
            continue;
        }
        if (name != "--host" && name != "--port" && name != "--max-clients" &&
            name != "--idle-timeout") {
            return "unknown option '" + name + "'";
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                return "option " + name + " needs a value";
            }
            value = argv[++i];
        }
        unsigned long number = 0;
        if (name == "--host") {
            asio::error_code ec;
            asio::ip::make_address(value, ec);
            if (ec) {
                return "--host needs an IP address, got '" + value + "'";
            }
            options.host = value;
        } else if (name == "--port") {
            if (!parse_unsigned(value, 65535, number)) {
                return "--port needs a number from 0 to 65535, got '" + value + "'";
            }
            options.port = static_cast<unsigned short>(number);
        } else if (name == "--max-clients") {
            if (!parse_unsigned(value, 1000000, number) || number == 0) {
                return "--max-clients needs a number from 1 to 1000000, got '" + value + "'";
            }
            options.max_clients = number;
        } else {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            // The upper bound keeps the deadline arithmetic far from overflow.
            if (value.empty() || *end != '\0' || !(seconds >= 0 && seconds <= 1000000)) {
                return "--idle-timeout needs seconds from 0 to 1000000, got '" + value + "'";
            }
            options.idle_timeout_seconds = seconds;
        }
    }
    return "";
}

class Server;

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Server& server, asio::ip::tcp::socket socket, std::uint64_t id)
        : server_(server), socket_(std::move(socket)), idle_timer_(socket_.get_executor()),
          id_(id) {}

    void start();
    // Closes the connection and prints its one goodbye-or-dropped (or left) line, once.
    void end(const char* reason, const std::string& detail = "");

  private:
    using Clock = asio::steady_timer::clock_type;

    void read();
    void on_read(const asio::error_code& ec, std::size_t size);
    StreamDecoder::Event feed_probing(const unsigned char* data, std::size_t size);
    void wait_idle();

    Server& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer idle_timer_;
    Clock::time_point last_activity_ = Clock::now();
    std::uint64_t id_;
    StreamDecoder decoder_;
    bool ended_ = false;
    // Fixed size, so a flood costs no more memory than a quiet client.
    std::array<unsigned char, 4096> buffer_{};
};

class Server {
  public:
    Server(asio::io_context& io, const Options& options)
        : options_(options), acceptor_(io), retry_timer_(io), signals_(io, SIGINT, SIGTERM),
          idle_timeout_(std::chrono::duration_cast<asio::steady_timer::duration>(
              std::chrono::duration<double>(options.idle_timeout_seconds))) {}

    // Returns an empty string when listening, else why not.
    std::string start() {
        asio::error_code ec;
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options_.host),
                                               options_.port);
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) {
            acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor_.bind(endpoint, ec);
        }
        if (!ec) {
            acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        }
        if (ec) {
            return "cannot listen on " + endpoint_text(endpoint) + ": " + ec.message();
        }
        log_line("listening on " + endpoint_text(acceptor_.local_endpoint()));
        signals_.async_wait([this](const asio::error_code& error, int) {
            if (!error) {
                stop();
            }
        });
        accept();
        return "";
    }

    asio::steady_timer::duration idle_timeout() const { return idle_timeout_; }

    void on_goodbye() { ++goodbyes_; }

    bool latency_probe() const { return options_.latency_probe; }
    void record_delay(std::uint32_t us) { delays_.add(us); }

    void on_end(std::uint64_t id, std::uint64_t updates, bool said_goodbye) {
        updates_ += updates;
        if (!said_goodbye) {
            ++dropped_;
        }
        connections_.erase(id);
    }

  private:
    void accept() {
        acceptor_.async_accept(peer_, [this](const asio::error_code& ec,
                                             asio::ip::tcp::socket socket) {
            if (stopping_) {
                return;
            }
            if (ec) {
                // EMFILE and its kin persist while the backlog is non-empty; retrying at once
                // would spin, and giving up would leave the game without a server.
                log_line("accept_error retry_in_ms=100 detail=" + ec.message());
                retry_timer_.expires_after(std::chrono::milliseconds(100));
                retry_timer_.async_wait([this](const asio::error_code& error) {
                    if (!error && !stopping_) {
                        accept();
                    }
                });
                return;
            }
            if (connections_.size() >= options_.max_clients) {
                ++refused_;
                log_line(
                    "refused " + endpoint_text(peer_) +
                    " reason=connection_limit max_clients=" + std::to_string(options_.max_clients));
                asio::error_code ignored;
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

    void stop() {
        stopping_ = true;
        asio::error_code ignored;
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

    Options options_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::endpoint peer_;
    asio::steady_timer retry_timer_;
    asio::signal_set signals_;
    asio::steady_timer::duration idle_timeout_;
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    bool stopping_ = false;
    std::uint64_t clients_ = 0;
    std::uint64_t updates_ = 0;
    std::uint64_t goodbyes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t refused_ = 0;
    DelayHistogram delays_;
};

void Connection::start() {
    read();
    if (server_.idle_timeout() > asio::steady_timer::duration::zero()) {
        wait_idle();
    }
}

void Connection::read() {
    socket_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](const asio::error_code& ec, std::size_t size) {
            self->on_read(ec, size);
        });
}

void Connection::on_read(const asio::error_code& ec, std::size_t size) {
    if (ended_) {
        return;
    }
    if (size > 0) {
        last_activity_ = Clock::now();
        const StreamDecoder::Event event = server_.latency_probe()
                                               ? feed_probing(buffer_.data(), size)
                                               : decoder_.feed(buffer_.data(), size);
        if (event == StreamDecoder::Event::goodbye) {
            server_.on_goodbye();
            log_line("goodbye #" + std::to_string(id_) +
                     " updates=" + std::to_string(decoder_.updates_received()) +
                     " last_x=" + std::to_string(decoder_.last_x()));
        } else if (event == StreamDecoder::Event::protocol_error) {
            end("protocol_error", error_name(decoder_.error()));
            return;
        }
    }
    if (!ec) {
        read();
    } else if (ec == asio::error::eof) {
        if (decoder_.finish() == StreamDecoder::Event::protocol_error) {
            end("protocol_error", error_name(decoder_.error()));
        } else {
            end("closed");
        }
    } else if (ec == asio::error::connection_reset) {
        end("reset");
    } else if (ec != asio::error::operation_aborted) {
        end("error", ec.message());
    }
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
            server_.record_delay((now - sent) & 0x7FFFFFFFu);
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
// flood does not cancel and re-post a timer thousands of times a second.
void Connection::wait_idle() {
    idle_timer_.expires_at(last_activity_ + server_.idle_timeout());
    idle_timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (ec || self->ended_) {
            return;
        }
        if (Clock::now() >= self->last_activity_ + self->server_.idle_timeout()) {
            self->end("idle_timeout");
        } else {
            self->wait_idle();
        }
    });
}

void Connection::end(const char* reason, const std::string& detail) {
    if (ended_) {
        return;
    }
    ended_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    idle_timer_.cancel();
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
    // Last: this may release the server's reference to us; the caller's handler still holds one.
    server_.on_end(id_, decoder_.updates_received(), decoder_.goodbye_seen());
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    const std::string problem = parse_options(argc, argv, options, help);
    if (!problem.empty()) {
        std::fprintf(stderr, "brackenreach-server: %s\nTry --help.\n", problem.c_str());
        return 2;
    }
    if (help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    // The server never writes to clients, but a stray write to a closed socket must not kill it.
    std::signal(SIGPIPE, SIG_IGN);

    asio::io_context io;
    Server server(io, options);
    const std::string failure = server.start();
    if (!failure.empty()) {
        std::fprintf(stderr, "brackenreach-server: %s\n", failure.c_str());
        return 1;
    }
    io.run();
    return 0;
}
