// The server under test: brackenreach-server started as a child on 127.0.0.1, its event lines
// read as they come (the only place the server reports what it received), and its memory and
// CPU read from /proc.
#pragma once

#include "server/net.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

struct ProcSample {
    long rss_kib = -1;
    long hwm_kib = -1;
};

// One server run; the destructor kills a server that was not stopped.
class ServerProcess {
  public:
    ~ServerProcess();

    // Starts path with --host 127.0.0.1 --port 0 and args; returns an empty string once the
    // server listens, else why not.
    std::string start(const std::string& path, const std::vector<std::string>& args);

    pid_t pid() const { return pid_; }
    unsigned short port() const { return port_; }
    // The web port, when started with --web-root (0 otherwise).
    unsigned short web_port() const { return web_port_; }
    // Lines so far whose first word (up to a space or colon) is prefix.
    std::uint64_t count(const std::string& prefix) const;
    // The lines printed so far, from index from on.
    std::vector<std::string> lines(std::size_t from = 0) const;

    ProcSample sample() const;
    // utime + stime in seconds.
    double cpu_seconds() const;

    // SIGTERM, then the exit status (-1 if it had to be killed).
    int stop(double timeout_seconds);

  private:
    void read_lines(int fd);

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::map<std::string, std::uint64_t> counts_;
    unsigned short port_ = 0;
    unsigned short web_port_ = 0;
    bool eof_ = false;
};

// Starts server as ServerProcess::start does; on failure prints "error=" and why, and returns
// false.
bool server_started(ServerProcess& server, const std::string& path,
                    const std::vector<std::string>& args);

// Samples the server's resident memory every 50 ms while the loop runs.
class MemorySampler {
  public:
    MemorySampler(net::io_context& io, const ServerProcess& server) : timer_(io), server_(server) {}
    void start() {
        const ProcSample now = server_.sample();
        last_ = now.rss_kib;
        peak_ = std::max(peak_, now.rss_kib);
        timer_.expires_after(std::chrono::milliseconds(50));
        timer_.async_wait([this](const error_code& ec) {
            if (!ec) {
                start();
            }
        });
    }
    void stop() { timer_.cancel(); }
    long peak_kib() const { return peak_; }
    long last_kib() const { return last_; }

  private:
    net::steady_timer timer_;
    const ServerProcess& server_;
    long peak_ = -1;
    long last_ = -1;
};
