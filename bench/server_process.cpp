#include "bench/server_process.h"

#include "bench/report.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

std::string ServerProcess::start(const std::string& path, const std::vector<std::string>& args) {
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
    const bool web = std::find(args.begin(), args.end(), "--web-root") != args.end();
    changed_.wait_for(lock, std::chrono::seconds(10),
                      [&] { return (port_ != 0 && (!web || web_port_ != 0)) || eof_; });
    if (port_ == 0 || (web && web_port_ == 0)) {
        return "the server printed no listening line";
    }
    return "";
}

std::uint64_t ServerProcess::count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = counts_.find(prefix);
    return found == counts_.end() ? 0 : found->second;
}

std::vector<std::string> ServerProcess::lines(std::size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<std::string>(
        lines_.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines_.size())), lines_.end());
}

ProcSample ServerProcess::sample() const {
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

// Fields 14 and 15 of /proc/PID/stat, counted after the command
// name, whose parentheses may hold spaces.
double ServerProcess::cpu_seconds() const {
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

int ServerProcess::stop(double timeout_seconds) {
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

void ServerProcess::read_lines(int fd) {
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
        if (std::sscanf(line.c_str(), "serving the page at http://127.0.0.1:%u/", &port) == 1) {
            web_port_ = static_cast<unsigned short>(port);
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

bool server_started(ServerProcess& server, const std::string& path,
                    const std::vector<std::string>& args) {
    const std::string failure = server.start(path, args);
    if (!failure.empty()) {
        say("error=" + failure);
    }
    return failure.empty();
}
