// server_load: drives brackenreach-server on 127.0.0.1 and prints what it saw as key=value lines.
// It starts the server itself so that it can read the server's event lines (the only place the
// server reports what it received) and sample its memory and CPU from /proc while it runs.
//
//   steady: K clients send 60 timestamped updates a second for D seconds, then the goodbye; the
//           server runs with --latency-probe, so its summary gives the send-to-decode delay.
//   abuse:  thousands of idle connections, byte-at-a-time writers, a 100 MB flood, random
//           garbage and abrupt resets, while well-behaved clients must lose no update.
//
// One thread runs every socket; a second only drains the server's stdout, so the server never
// blocks on a full pipe. Every phase has a deadline, so a stuck server ends the run, not hangs it.
#include "net/wire.h"

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;

const char* const usage_text = R"(Usage: server_load --server PATH MODE [options]

Starts brackenreach-server on 127.0.0.1 (port 0), loads it, stops it with SIGTERM and prints
key=value lines, ending with verdict=holds or verdict=fails reasons=...

Modes and their options (defaults in brackets):
  steady   --clients K [100]  --seconds D [10]  --rate HZ [60]
  abuse    --seconds D [20]  --good N [50]  --idle N [3000]  --slow N [20]
           --flood-mb MB [100]  --garbage N [20]  --resets N [10]  --rate HZ [60]
Common:    --connect-burst N [200]  connects in flight at once
)";

struct Options {
    std::string server;
    std::string mode;
    std::size_t clients = 100;
    double seconds = -1;
    double rate = 60;
    std::size_t good = 50;
    std::size_t idle = 3000;
    std::size_t slow = 20;
    std::size_t flood_mb = 100;
    std::size_t garbage = 20;
    std::size_t resets = 10;
    std::size_t connect_burst = 200;
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// ---- The server under test --------------------------------------------------------------------

struct ProcSample {
    long rss_kib = -1;
    long hwm_kib = -1;
};

class ServerProcess {
  public:
    ~ServerProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    // Returns an empty string once the server listens, else why not.
    std::string start(const std::string& path, const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return std::string("pipe: ") + std::strerror(errno);
        }
        std::vector<std::string> argv_text{path, "--host", "127.0.0.1", "--port", "0"};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : argv_text) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) {
            return std::string("fork: ") + std::strerror(errno);
        }
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execv(path.c_str(), argv.data());
            std::fprintf(stderr, "server_load: cannot run %s: %s\n", path.c_str(),
                         std::strerror(errno));
            ::_exit(127);
        }
        ::close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] { read_lines(fd); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return port_ != 0 || eof_; });
        if (port_ == 0) {
            return "the server printed no listening line";
        }
        return "";
    }

    pid_t pid() const { return pid_; }
    unsigned short port() const { return port_; }
    std::uint64_t count(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = counts_.find(prefix);
        return found == counts_.end() ? 0 : found->second;
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    ProcSample sample() const {
        ProcSample result;
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        long value = 0;
        std::string line;
        while (std::getline(status, line)) {
            std::istringstream fields(line);
            fields >> key >> value;
            if (key == "VmRSS:") {
                result.rss_kib = value;
            } else if (key == "VmHWM:") {
                result.hwm_kib = value;
            }
        }
        return result;
    }

    // utime + stime in seconds; fields 14 and 15 of /proc/PID/stat, counted after the command
    // name, whose parentheses may hold spaces.
    double cpu_seconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            return -1;
        }
        std::istringstream fields(text.substr(close + 1));
        std::string field;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14) {
                utime = std::strtoull(field.c_str(), nullptr, 10);
            } else if (index == 15) {
                stime = std::strtoull(field.c_str(), nullptr, 10);
            }
        }
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    // SIGTERM, then the exit status (-1 if it had to be killed).
    int stop(double timeout_seconds) {
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
        int status = 0;
        while (Clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                reader_.join();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        reader_.join();
        return -1;
    }

  private:
    void read_lines(int fd) {
        FILE* in = ::fdopen(fd, "r");
        char* raw = nullptr;
        std::size_t capacity = 0;
        ssize_t size = 0;
        while ((size = ::getline(&raw, &capacity, in)) > 0) {
            std::string line(raw, static_cast<std::size_t>(size));
            if (!line.empty() && line.back() == '\n') {
                line.pop_back();
            }
            std::lock_guard<std::mutex> lock(mutex_);
            unsigned port = 0;
            if (port_ == 0 && std::sscanf(line.c_str(), "listening on 127.0.0.1:%u", &port) == 1) {
                port_ = static_cast<unsigned short>(port);
            }
            const std::size_t space = line.find_first_of(" :");
            ++counts_[line.substr(0, space)];
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
        std::free(raw);
        std::fclose(in);
        std::lock_guard<std::mutex> lock(mutex_);
        eof_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::map<std::string, std::uint64_t> counts_;
    unsigned short port_ = 0;
    bool eof_ = false;
};

// What the server's lines say about each connection, keyed by the client's local port.
struct ServerView {
    struct Ended {
        bool goodbye = false;
        std::uint64_t updates = 0;
        long long last_x = 0;
    };
    std::map<unsigned, Ended> by_port;
    std::string latency;
    std::string stopped;
    std::uint64_t accept_errors = 0;
    std::uint64_t refused = 0;

    static ServerView parse(const std::vector<std::string>& lines) {
        ServerView view;
        std::map<unsigned long long, unsigned> port_of;
        for (const auto& line : lines) {
            unsigned long long id = 0;
            unsigned port = 0;
            unsigned long long updates = 0;
            long long last_x = 0;
            if (std::sscanf(line.c_str(), "joined #%llu 127.0.0.1:%u", &id, &port) == 2) {
                port_of[id] = port;
            } else if (std::sscanf(line.c_str(), "goodbye #%llu updates=%llu last_x=%lld", &id,
                                   &updates, &last_x) == 3) {
                view.by_port[port_of[id]] = Ended{true, updates, last_x};
            } else if (line.rfind("latency:", 0) == 0) {
                view.latency = line;
            } else if (line.rfind("stopped:", 0) == 0) {
                view.stopped = line;
            } else if (line.rfind("accept_error", 0) == 0) {
                ++view.accept_errors;
            } else if (line.rfind("refused", 0) == 0) {
                ++view.refused;
            }
        }
        return view;
    }
};

long field_of(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtol(line.c_str() + at + key.size() + 2, nullptr, 10);
}

// ---- Event loop helpers ---------------------------------------------------------------------

// Runs the loop until done() or the timeout; the work guard keeps run_for from returning early.
bool run_until(asio::io_context& io, const std::function<bool()>& done, double timeout_seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (!done() && Clock::now() < deadline) {
        io.run_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Samples the server's resident memory every 50 ms while the loop runs.
class MemorySampler {
  public:
    MemorySampler(asio::io_context& io, const ServerProcess& server)
        : timer_(io), server_(server) {}
    void start() {
        const ProcSample now = server_.sample();
        last_ = now.rss_kib;
        peak_ = std::max(peak_, now.rss_kib);
        timer_.expires_after(std::chrono::milliseconds(50));
        timer_.async_wait([this](const asio::error_code& ec) {
            if (!ec) {
                start();
            }
        });
    }
    void stop() { timer_.cancel(); }
    long peak_kib() const { return peak_; }
    long last_kib() const { return last_; }

  private:
    asio::steady_timer timer_;
    const ServerProcess& server_;
    long peak_ = -1;
    long last_ = -1;
};

// A client connection written with non-blocking send(): 4-byte writes at 60 Hz from thousands of
// peers are cheaper without a completion handler each.
struct Peer {
    explicit Peer(asio::io_context& io) : socket(io) {}

    // Queues bytes; what the kernel does not take now waits in pending for flush().
    void send(const unsigned char* data, std::size_t size) {
        if (failed) {
            return;
        }
        if (pending.empty()) {
            const ssize_t written =
                ::send(socket.native_handle(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                failed = true;
                return;
            }
            const std::size_t taken = written > 0 ? static_cast<std::size_t>(written) : 0;
            pending.insert(pending.end(), data + taken, data + size);
            return;
        }
        pending.insert(pending.end(), data, data + size);
        flush();
    }

    void flush() {
        if (failed || pending.empty()) {
            return;
        }
        const ssize_t written = ::send(socket.native_handle(), pending.data(), pending.size(),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed = true;
        } else if (written > 0) {
            pending.erase(pending.begin(), pending.begin() + written);
        }
    }

    tcp::socket socket;
    unsigned local_port = 0;
    bool connected = false;
    bool failed = false;
    bool finished = false; // for Ticker: sent all it was due to, or failed
    std::uint64_t sent = 0;
    std::vector<unsigned char> pending;
};

// Connects peers with at most `burst` handshakes in flight, so the listen backlog never
// overflows into SYN retries that would only measure the kernel's one-second back-off.
class Connector : public std::enable_shared_from_this<Connector> {
  public:
    Connector(tcp::endpoint endpoint, std::vector<Peer*> peers, std::size_t burst)
        : endpoint_(endpoint), peers_(std::move(peers)), burst_(burst) {}

    void start() {
        for (std::size_t i = 0; i < burst_; ++i) {
            next();
        }
    }
    std::size_t finished() const { return finished_; }
    std::size_t size() const { return peers_.size(); }

  private:
    void next() {
        if (index_ >= peers_.size()) {
            return;
        }
        Peer* peer = peers_[index_++];
        peer->socket.async_connect(
            endpoint_, [self = shared_from_this(), peer](const asio::error_code& ec) {
                ++self->finished_;
                if (!ec) {
                    asio::error_code ignored;
                    peer->socket.set_option(tcp::no_delay(true), ignored);
                    peer->local_port = peer->socket.local_endpoint(ignored).port();
                    peer->connected = true;
                } else {
                    peer->failed = true;
                }
                self->next();
            });
    }

    tcp::endpoint endpoint_;
    std::vector<Peer*> peers_;
    std::size_t burst_;
    std::size_t index_ = 0;
    std::size_t finished_ = 0;
};

// Sends `rate` updates a second per peer, spreading peers over 16 phases of the frame so that
// the server sees a steady stream rather than one burst per frame. x comes from make_x.
class Ticker {
  public:
    static constexpr std::size_t phases = 16;

    Ticker(asio::io_context& io, std::vector<Peer*> peers, double rate, double seconds,
           std::function<std::uint32_t(const Peer&)> make_x)
        : timer_(io), peers_(std::move(peers)), period_(1.0 / rate),
          total_(static_cast<std::uint64_t>(rate * seconds + 0.5)), make_x_(std::move(make_x)) {}

    void start() {
        start_ = Clock::now();
        tick();
    }
    // Updates per second per peer actually achieved: below the target when this process could
    // not keep its schedule (it catches up, so the count is right but the pace is not).
    double achieved_rate() const {
        const double took = seconds_between(start_, end_);
        return took > 0 ? static_cast<double>(total_) / (took + period_) : 0;
    }
    bool done() const { return done_; }
    std::uint64_t ticks() const { return wakeups_; }
    std::uint64_t late_ticks() const { return late_; }
    double max_lag_seconds() const { return max_lag_; }
    std::uint64_t per_peer() const { return total_; }

  private:
    Clock::time_point due(std::uint64_t tick) const {
        return start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            period_ / phases * static_cast<double>(tick)));
    }

    // A late wake-up serves every phase whose time has come (each phase at most once), so that
    // lateness shows as lag instead of silently stretching the schedule.
    void tick() {
        timer_.expires_at(due(ticks_));
        timer_.async_wait([this](const asio::error_code& ec) {
            if (ec) {
                return;
            }
            const auto now = Clock::now();
            const double lag = seconds_between(due(ticks_), now);
            max_lag_ = std::max(max_lag_, lag);
            ++wakeups_;
            if (lag > period_) {
                ++late_;
            }
            const double elapsed = seconds_between(start_, now);
            const auto reached =
                static_cast<std::uint64_t>(elapsed / (period_ / phases)); // last tick now due
            const std::uint64_t first =
                std::max(ticks_, reached >= phases ? reached - phases + 1 : 0);
            for (std::uint64_t t = first; t <= reached; ++t) {
                const std::size_t phase = t % phases;
                for (std::size_t i = phase; i < peers_.size(); i += phases) {
                    send_due(*peers_[i], elapsed - static_cast<double>(phase) * period_ / phases);
                }
            }
            ticks_ = std::max(ticks_, reached) + 1;
            if (finished_ == peers_.size()) {
                end_ = now;
                done_ = true;
            } else {
                tick();
            }
        });
    }

    // Catches up after a late tick instead of dropping updates, so every run sends the same count.
    void send_due(Peer& peer, double since_first) {
        if (since_first >= 0 && !peer.failed) {
            const auto due = std::min<std::uint64_t>(
                total_, static_cast<std::uint64_t>(since_first / period_) + 1);
            unsigned char frame[4];
            while (peer.sent < due && !peer.failed) {
                write_uint32_be(make_x_(peer), frame);
                peer.send(frame, sizeof frame);
                ++peer.sent;
            }
        }
        if (!peer.finished && (peer.sent >= total_ || peer.failed)) {
            peer.finished = true;
            ++finished_;
        }
    }

    asio::steady_timer timer_;
    std::vector<Peer*> peers_;
    double period_;
    std::uint64_t total_;
    std::function<std::uint32_t(const Peer&)> make_x_;
    Clock::time_point start_;
    Clock::time_point end_;
    std::uint64_t ticks_ = 0;
    std::uint64_t wakeups_ = 0;
    std::size_t finished_ = 0;
    std::uint64_t late_ = 0;
    double max_lag_ = 0;
    bool done_ = false;
};

const unsigned char goodbye_bytes[5] = {'e', 'x', 'i', 't', 0};

// Sends the goodbye, waits (bounded) for every queued byte to leave, then closes.
void say_goodbye_and_close(asio::io_context& io, const std::vector<Peer*>& peers) {
    for (Peer* peer : peers) {
        peer->send(goodbye_bytes, sizeof goodbye_bytes);
    }
    run_until(
        io,
        [&] {
            bool flushed = true;
            for (Peer* peer : peers) {
                peer->flush();
                flushed = flushed && (peer->pending.empty() || peer->failed);
            }
            return flushed;
        },
        10);
    for (Peer* peer : peers) {
        asio::error_code ignored;
        peer->socket.close(ignored);
    }
}

double generator_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Compare {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::size_t missing_goodbyes = 0;
    std::size_t short_clients = 0;
    std::size_t wrong_last_x = 0;
    std::size_t unflushed_bytes = 0;
};

// Per peer: the server's goodbye line must report exactly the updates this peer sent.
Compare compare(const std::vector<Peer*>& peers, const ServerView& view,
                const std::function<long long(const Peer&)>& expected_last_x = nullptr) {
    Compare result;
    for (const Peer* peer : peers) {
        result.sent += peer->sent;
        result.unflushed_bytes += peer->pending.size();
        const auto found = view.by_port.find(peer->local_port);
        if (!peer->connected || found == view.by_port.end()) {
            ++result.missing_goodbyes;
            continue;
        }
        result.received += found->second.updates;
        if (found->second.updates != peer->sent) {
            ++result.short_clients;
        }
        if (expected_last_x && found->second.last_x != expected_last_x(*peer)) {
            ++result.wrong_last_x;
        }
    }
    return result;
}

void raise_fd_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---- steady ---------------------------------------------------------------------------------

int run_steady(const Options& options) {
    const double seconds = options.seconds > 0 ? options.seconds : 10;
    const double period_us = 1e6 / options.rate;
    ServerProcess server;
    const std::string failure =
        server.start(options.server, {"--max-clients", std::to_string(options.clients + 16),
                                      "--idle-timeout", "60", "--latency-probe"});
    if (!failure.empty()) {
        say("error=" + failure);
        return 1;
    }
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    MemorySampler memory(io, server);
    memory.start();
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), server.port());

    std::vector<std::unique_ptr<Peer>> owned;
    std::vector<Peer*> peers;
    for (std::size_t i = 0; i < options.clients; ++i) {
        owned.push_back(std::make_unique<Peer>(io));
        peers.push_back(owned.back().get());
    }
    const auto connect_start = Clock::now();
    auto connector = std::make_shared<Connector>(endpoint, peers, options.connect_burst);
    connector->start();
    const double connect_timeout = 20 + static_cast<double>(options.clients) / 500;
    run_until(
        io,
        [&] {
            return connector->finished() == peers.size() &&
                   server.count("joined") + server.count("refused") >= peers.size();
        },
        connect_timeout);
    std::size_t connected = 0;
    for (const Peer* peer : peers) {
        connected += peer->connected ? 1 : 0;
    }
    say("mode=steady clients=" + std::to_string(options.clients) + " seconds=" + fixed(seconds, 1) +
        " rate=" + fixed(options.rate, 0));
    say("connected=" + std::to_string(connected) +
        " joined=" + std::to_string(server.count("joined")) +
        " connect_s=" + fixed(seconds_between(connect_start, Clock::now()), 2));

    const double cpu_before = server.cpu_seconds();
    const double own_cpu_before = generator_cpu_seconds();
    const auto run_start = Clock::now();
    Ticker ticker(io, peers, options.rate, seconds,
                  [](const Peer&) { return monotonic_us_mod31(); });
    ticker.start();
    run_until(
        io, [&] { return ticker.done(); }, seconds * 3 + 10);
    say_goodbye_and_close(io, peers);
    run_until(
        io, [&] { return server.count("goodbye") + server.count("dropped") >= connected; },
        10 + static_cast<double>(options.clients) / 1000);
    const double window = seconds_between(run_start, Clock::now());
    const double cpu = server.cpu_seconds() - cpu_before;
    const double own_cpu = generator_cpu_seconds() - own_cpu_before;
    const ProcSample end_sample = server.sample();
    memory.stop();
    const int status = server.stop(10);
    const ServerView view = ServerView::parse(server.lines());
    const Compare result = compare(peers, view);

    const long samples = field_of(view.latency, "samples");
    const long median = field_of(view.latency, "median_us");
    const long p99 = field_of(view.latency, "p99_us");
    say("updates_sent=" + std::to_string(result.sent) +
        " updates_received=" + std::to_string(result.received) +
        " expected=" + std::to_string(ticker.per_peer() * options.clients) +
        " short_clients=" + std::to_string(result.short_clients) +
        " missing_goodbyes=" + std::to_string(result.missing_goodbyes) +
        " unflushed_bytes=" + std::to_string(result.unflushed_bytes));
    say("server_cpu_s=" + fixed(cpu, 2) + " server_cpu_pct=" + fixed(100 * cpu / window, 1) +
        " window_s=" + fixed(window, 2));
    say("server_rss_peak_kib=" + std::to_string(memory.peak_kib()) +
        " server_hwm_kib=" + std::to_string(end_sample.hwm_kib));
    say("delay_samples=" + std::to_string(samples) + " delay_median_us=" + std::to_string(median) +
        " delay_p99_us=" + std::to_string(p99) +
        " delay_max_us=" + std::to_string(field_of(view.latency, "max_us")));
    say("generator_cpu_s=" + fixed(own_cpu, 2) + " generator_late_ticks=" +
        std::to_string(ticker.late_ticks()) + "/" + std::to_string(ticker.ticks()) +
        " generator_max_lag_ms=" + fixed(ticker.max_lag_seconds() * 1000, 1) +
        " achieved_rate_per_client=" + fixed(ticker.achieved_rate(), 1));
    say("server_exit=" + std::to_string(status) + " " + view.stopped);

    // "Holds": every client served, every update counted, and decoded within three frames.
    std::string reasons;
    auto fail = [&](bool bad, const char* why) {
        if (bad) {
            reasons += reasons.empty() ? why : std::string(",") + why;
        }
    };
    fail(connected != options.clients || view.refused > 0 || view.accept_errors > 0,
         "not_all_connected");
    fail(result.sent != ticker.per_peer() * options.clients, "not_all_sent");
    fail(result.missing_goodbyes > 0 || result.short_clients > 0 || result.received != result.sent,
         "updates_lost");
    fail(samples < 0 || static_cast<std::uint64_t>(samples) != result.received, "no_latency");
    fail(p99 < 0 || static_cast<double>(p99) > 3 * period_us, "delay_p99_over_3_frames");
    fail(ticker.achieved_rate() < 0.95 * options.rate || ticker.late_ticks() * 100 > ticker.ticks(),
         "generator_behind");
    fail(status != 0, "server_exit");
    say(reasons.empty() ? "verdict=holds" : "verdict=fails reasons=" + reasons);
    return reasons.empty() ? 0 : 3;
}

// ---- abuse ----------------------------------------------------------------------------------

// Writes a fixed 64 KiB block of updates as fast as the server takes it, then the goodbye.
class Flood {
  public:
    Flood(asio::io_context& io, std::uint64_t bytes) : peer(io), limit_(bytes) {
        for (std::size_t i = 0; i < block_.size() / 4; ++i) {
            write_uint32_be(static_cast<std::uint32_t>(i), &block_[i * 4]);
        }
    }
    void start(Clock::time_point deadline) {
        deadline_ = deadline;
        started_ = Clock::now();
        write();
    }
    bool done() const { return done_; }
    std::uint64_t bytes() const { return bytes_; }
    double seconds() const { return seconds_; }
    long long last_x() const { return static_cast<long long>(block_.size() / 4 - 1); }
    Peer peer;

  private:
    void write() {
        if (bytes_ >= limit_ || Clock::now() >= deadline_) {
            seconds_ = seconds_between(started_, Clock::now());
            peer.sent = bytes_ / 4;
            asio::async_write(peer.socket, asio::buffer(goodbye_bytes),
                              [this](const asio::error_code& ec, std::size_t) {
                                  peer.failed = peer.failed || static_cast<bool>(ec);
                                  done_ = true;
                              });
            return;
        }
        asio::async_write(peer.socket, asio::buffer(block_),
                          [this](const asio::error_code& ec, std::size_t size) {
                              bytes_ += size;
                              if (ec) {
                                  peer.failed = true;
                                  peer.sent = bytes_ / 4;
                                  done_ = true;
                                  return;
                              }
                              write();
                          });
    }

    std::array<unsigned char, 65536> block_{};
    std::uint64_t limit_;
    std::uint64_t bytes_ = 0;
    Clock::time_point deadline_;
    Clock::time_point started_;
    double seconds_ = 0;
    bool done_ = false;
};

// One slot that keeps opening short-lived hostile connections until the deadline: random bytes
// closed with FIN or RST (garbage), or two updates and half a frame cut by an RST (reset).
class Churner {
  public:
    Churner(asio::io_context& io, tcp::endpoint endpoint, bool garbage, unsigned seed)
        : io_(io), endpoint_(endpoint), garbage_(garbage), random_(seed), pause_(io) {}

    void start(Clock::time_point deadline) {
        deadline_ = deadline;
        open();
    }
    bool done() const { return done_; }
    std::uint64_t connections() const { return connections_; }
    std::uint64_t bytes() const { return bytes_; }

  private:
    void open() {
        if (Clock::now() >= deadline_) {
            done_ = true;
            return;
        }
        socket_ = std::make_unique<tcp::socket>(io_);
        socket_->async_connect(endpoint_, [this](const asio::error_code& ec) {
            if (ec) {
                again();
                return;
            }
            ++connections_;
            data_.clear();
            if (garbage_) {
                data_.resize(1 + random_() % 65536);
                for (auto& byte : data_) {
                    byte = static_cast<unsigned char>(random_());
                }
            } else {
                data_ = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0};
            }
            asio::async_write(*socket_, asio::buffer(data_),
                              [this](const asio::error_code& error, std::size_t size) {
                                  bytes_ += size;
                                  close(error || !garbage_ || random_() % 2 == 0);
                              });
        });
    }

    void close(bool reset) {
        asio::error_code ignored;
        if (reset) {
            socket_->set_option(asio::socket_base::linger(true, 0), ignored);
        }
        socket_->close(ignored);
        again();
    }

    void again() {
        pause_.expires_after(std::chrono::milliseconds(random_() % (garbage_ ? 100 : 40)));
        pause_.async_wait([this](const asio::error_code& ec) {
            if (!ec) {
                open();
            }
        });
    }

    asio::io_context& io_;
    tcp::endpoint endpoint_;
    bool garbage_;
    std::mt19937 random_;
    asio::steady_timer pause_;
    std::unique_ptr<tcp::socket> socket_;
    std::vector<unsigned char> data_;
    Clock::time_point deadline_;
    std::uint64_t connections_ = 0;
    std::uint64_t bytes_ = 0;
    bool done_ = false;
};

int run_abuse(const Options& options) {
    const double seconds = options.seconds > 0 ? options.seconds : 20;
    ServerProcess server;
    const std::size_t most =
        options.idle + options.good + options.slow + 1 + options.garbage + options.resets + 64;
    const std::string failure =
        server.start(options.server, {"--max-clients", std::to_string(most), "--idle-timeout",
                                      std::to_string(static_cast<int>(seconds) + 30)});
    if (!failure.empty()) {
        say("error=" + failure);
        return 1;
    }
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    MemorySampler memory(io, server);
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), server.port());
    const long baseline_kib = server.sample().rss_kib;
    memory.start();

    auto make_peers = [&io](std::size_t count, std::vector<std::unique_ptr<Peer>>& owned) {
        std::vector<Peer*> peers;
        for (std::size_t i = 0; i < count; ++i) {
            owned.push_back(std::make_unique<Peer>(io));
            peers.push_back(owned.back().get());
        }
        return peers;
    };
    std::vector<std::unique_ptr<Peer>> owned;
    const std::vector<Peer*> idle = make_peers(options.idle, owned);
    const std::vector<Peer*> good = make_peers(options.good, owned);
    const std::vector<Peer*> slow = make_peers(options.slow, owned);

    // Idle first: the good clients then have to get in past thousands of held connections.
    const auto idle_start = Clock::now();
    auto idle_connector = std::make_shared<Connector>(endpoint, idle, options.connect_burst);
    idle_connector->start();
    run_until(
        io,
        [&] {
            return idle_connector->finished() == idle.size() &&
                   server.count("joined") >= idle.size();
        },
        30);
    const double idle_connect_s = seconds_between(idle_start, Clock::now());
    std::size_t idle_connected = 0;
    for (const Peer* peer : idle) {
        idle_connected += peer->connected ? 1 : 0;
    }
    run_until(
        io, [] { return false; }, 0.2); // lets the sampler see the settled size
    const long idle_kib = server.sample().rss_kib;

    Flood flood(io, static_cast<std::uint64_t>(options.flood_mb) * 1024 * 1024);
    std::vector<Peer*> others = good;
    others.insert(others.end(), slow.begin(), slow.end());
    others.push_back(&flood.peer);
    const auto join_start = Clock::now();
    const std::uint64_t joined_before = server.count("joined");
    auto connector = std::make_shared<Connector>(endpoint, others, options.connect_burst);
    connector->start();
    run_until(
        io,
        [&] {
            return connector->finished() == others.size() &&
                   server.count("joined") >= joined_before + others.size();
        },
        30);
    const double good_join_s = seconds_between(join_start, Clock::now());

    const double cpu_before = server.cpu_seconds();
    const auto run_start = Clock::now();
    const auto deadline = run_start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));

    // Good clients count up from 1, so the server's last_x must equal what they sent.
    Ticker ticker(io, good, options.rate, seconds,
                  [](const Peer& peer) { return static_cast<std::uint32_t>(peer.sent + 1); });
    ticker.start();
    flood.start(deadline);

    // Slow writers dribble a valid stream, goodbye included, one byte every 300 ms, so that it
    // ends a couple of seconds before the deadline.
    const std::size_t slow_bytes = static_cast<std::size_t>((seconds - 2) / 0.3);
    const std::size_t slow_updates = slow_bytes > 9 ? (slow_bytes - 5) / 4 : 1;
    std::vector<std::vector<unsigned char>> slow_streams;
    for (std::size_t i = 0; i < slow.size(); ++i) {
        std::vector<unsigned char> stream(slow_updates * 4);
        for (std::size_t k = 0; k < slow_updates; ++k) {
            write_uint32_be(static_cast<std::uint32_t>(i * 1000 + k + 1), &stream[k * 4]);
        }
        stream.insert(stream.end(), goodbye_bytes, goodbye_bytes + 5);
        slow_streams.push_back(std::move(stream));
        slow[i]->sent = slow_updates;
    }
    std::size_t slow_offset = 0;
    asio::steady_timer slow_timer(io);
    std::function<void()> dribble = [&] {
        if (slow_offset >= slow_streams.front().size()) {
            return;
        }
        for (std::size_t i = 0; i < slow.size(); ++i) {
            slow[i]->send(&slow_streams[i][slow_offset], 1);
        }
        ++slow_offset;
        slow_timer.expires_after(std::chrono::milliseconds(300));
        slow_timer.async_wait([&](const asio::error_code& ec) {
            if (!ec) {
                dribble();
            }
        });
    };
    if (!slow.empty()) {
        dribble();
    }

    std::vector<std::unique_ptr<Churner>> churners;
    for (std::size_t i = 0; i < options.garbage + options.resets; ++i) {
        churners.push_back(std::make_unique<Churner>(io, endpoint, i < options.garbage,
                                                     static_cast<unsigned>(i + 1)));
        churners.back()->start(deadline);
    }

    const std::uint64_t slow_total = slow.empty() ? 0 : slow_streams.front().size();
    run_until(
        io,
        [&] {
            bool churn_done = true;
            for (const auto& churner : churners) {
                churn_done = churn_done && churner->done();
            }
            return ticker.done() && flood.done() && slow_offset >= slow_total && churn_done;
        },
        seconds + 15);
    const double own_cpu = generator_cpu_seconds();
    say_goodbye_and_close(io, good);
    for (Peer* peer : slow) {
        asio::error_code ignored;
        peer->socket.close(ignored);
    }
    flood.peer.socket.close();
    const std::size_t expect_goodbyes = good.size() + slow.size() + 1;
    run_until(
        io, [&] { return server.count("goodbye") >= expect_goodbyes; }, 15);
    const double window = seconds_between(run_start, Clock::now());
    const double cpu = server.cpu_seconds() - cpu_before;
    for (Peer* peer : idle) {
        asio::error_code ignored;
        peer->socket.close(ignored);
    }
    run_until(
        io, [] { return false; }, 0.3);
    const ProcSample end_sample = server.sample();
    memory.stop();
    const int status = server.stop(10);
    const ServerView view = ServerView::parse(server.lines());

    const Compare good_result =
        compare(good, view, [](const Peer& peer) { return static_cast<long long>(peer.sent); });
    const Compare slow_result = compare(slow, view, [&](const Peer& peer) {
        const std::size_t i =
            static_cast<std::size_t>(std::find(slow.begin(), slow.end(), &peer) - slow.begin());
        return static_cast<long long>(i * 1000 + slow_updates);
    });
    const Compare flood_result = compare(
        {&flood.peer}, view, [&](const Peer&) { return flood.peer.sent > 0 ? flood.last_x() : 0; });
    std::uint64_t garbage_connections = 0;
    std::uint64_t garbage_bytes = 0;
    std::uint64_t reset_connections = 0;
    for (std::size_t i = 0; i < churners.size(); ++i) {
        if (i < options.garbage) {
            garbage_connections += churners[i]->connections();
            garbage_bytes += churners[i]->bytes();
        } else {
            reset_connections += churners[i]->connections();
        }
    }

    say("mode=abuse seconds=" + fixed(seconds, 1) + " good=" + std::to_string(good.size()) +
        " idle=" + std::to_string(idle.size()) + " slow=" + std::to_string(slow.size()) +
        " flood_mb=" + std::to_string(options.flood_mb) + " garbage_slots=" +
        std::to_string(options.garbage) + " reset_slots=" + std::to_string(options.resets));
    say("idle_connected=" + std::to_string(idle_connected) +
        " idle_connect_s=" + fixed(idle_connect_s, 2) + " good_join_s=" + fixed(good_join_s, 3));
    say("good_updates_sent=" + std::to_string(good_result.sent) +
        " good_updates_received=" + std::to_string(good_result.received) +
        " good_short_clients=" + std::to_string(good_result.short_clients) +
        " good_missing_goodbyes=" + std::to_string(good_result.missing_goodbyes) +
        " good_wrong_last_x=" + std::to_string(good_result.wrong_last_x) +
        " generator_late_ticks=" + std::to_string(ticker.late_ticks()) + "/" +
        std::to_string(ticker.ticks()) +
        " achieved_rate_per_client=" + fixed(ticker.achieved_rate(), 1));
    say("slow_updates_sent=" + std::to_string(slow_result.sent) +
        " slow_updates_received=" + std::to_string(slow_result.received) +
        " slow_missing_goodbyes=" + std::to_string(slow_result.missing_goodbyes));
    say("flood_bytes=" + std::to_string(flood.bytes()) + " flood_s=" + fixed(flood.seconds(), 2) +
        " flood_mb_per_s=" +
        fixed(flood.seconds() > 0 ? static_cast<double>(flood.bytes()) / 1048576 / flood.seconds()
                                  : 0,
              1) +
        " flood_updates_sent=" + std::to_string(flood_result.sent) +
        " flood_updates_received=" + std::to_string(flood_result.received));
    say("garbage_connections=" + std::to_string(garbage_connections) + " garbage_bytes=" +
        std::to_string(garbage_bytes) + " reset_connections=" + std::to_string(reset_connections) +
        " server_dropped_lines=" + std::to_string(server.count("dropped")) + " accept_errors=" +
        std::to_string(view.accept_errors) + " refused=" + std::to_string(view.refused));
    say("server_cpu_s=" + fixed(cpu, 2) + " server_cpu_pct=" + fixed(100 * cpu / window, 1) +
        " window_s=" + fixed(window, 2) + " generator_cpu_s=" + fixed(own_cpu, 2));
    const long per_idle = idle_connected > 0
                              ? (idle_kib - baseline_kib) * 1024 / static_cast<long>(idle_connected)
                              : 0;
    say("server_rss_baseline_kib=" + std::to_string(baseline_kib) + " server_rss_with_idle_kib=" +
        std::to_string(idle_kib) + " bytes_per_idle_connection=" + std::to_string(per_idle) +
        " server_rss_peak_kib=" + std::to_string(memory.peak_kib()) +
        " server_rss_end_kib=" + std::to_string(end_sample.rss_kib) +
        " server_hwm_kib=" + std::to_string(end_sample.hwm_kib));
    say("server_exit=" + std::to_string(status) + " " + view.stopped);

    std::string reasons;
    auto fail = [&](bool bad, const char* why) {
        if (bad) {
            reasons += reasons.empty() ? why : std::string(",") + why;
        }
    };
    fail(idle_connected != idle.size(), "idle_not_connected");
    fail(good_result.missing_goodbyes + good_result.short_clients + good_result.wrong_last_x > 0,
         "good_updates_lost");
    fail(good_result.sent != ticker.per_peer() * good.size(), "good_not_all_sent");
    fail(slow_result.missing_goodbyes + slow_result.short_clients + slow_result.wrong_last_x > 0,
         "slow_updates_lost");
    fail(flood_result.missing_goodbyes + flood_result.short_clients + flood_result.wrong_last_x > 0,
         "flood_updates_lost");
    fail(view.refused > 0, "refused");
    fail(status != 0 || view.stopped.empty(), "server_exit");
    say(reasons.empty() ? "verdict=holds" : "verdict=fails reasons=" + reasons);
    return reasons.empty() ? 0 : 3;
}

bool parse_count(const char* text, std::size_t& value) {
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || parsed > 1000000) {
        return false;
    }
    value = static_cast<std::size_t>(parsed);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (name == "steady" || name == "abuse") {
            options.mode = name;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "server_load: %s needs a value\n", name.c_str());
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (name == "--server") {
            options.server = value;
        } else if (name == "--seconds" || name == "--rate") {
            char* end = nullptr;
            const double number = std::strtod(value, &end);
            // Bounded, so that no run can go on for long.
            ok = *end == '\0' && number > 0 && number <= (name == "--rate" ? 1000 : 600);
            (name == "--rate" ? options.rate : options.seconds) = number;
        } else if (name == "--clients") {
            ok = parse_count(value, options.clients) && options.clients > 0;
        } else if (name == "--good") {
            ok = parse_count(value, options.good);
        } else if (name == "--idle") {
            ok = parse_count(value, options.idle);
        } else if (name == "--slow") {
            ok = parse_count(value, options.slow);
        } else if (name == "--flood-mb") {
            ok = parse_count(value, options.flood_mb) && options.flood_mb <= 10000;
        } else if (name == "--garbage") {
            ok = parse_count(value, options.garbage);
        } else if (name == "--resets") {
            ok = parse_count(value, options.resets);
        } else if (name == "--connect-burst") {
            ok = parse_count(value, options.connect_burst) && options.connect_burst > 0;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "server_load: bad option %s %s\nTry --help.\n", name.c_str(),
                         value);
            return 2;
        }
    }
    if (options.server.empty() || options.mode.empty()) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();
    return options.mode == "steady" ? run_steady(options) : run_abuse(options);
}
