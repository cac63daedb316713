#include "net/link.h"

#include "net/link_bounds.h"
#include "net/wire.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <vector>

TCPsocket server = nullptr;

namespace {

// The descriptor under server, non-blocking; -1 when it could not be found, and the sends then
// block as SDL_net's do.
int server_fd = -1;

// Why the server was given up (empty while it is not): after that nothing more is sent.
std::string given_up;

volatile std::sig_atomic_t connect_deadline_passed = 0;

extern "C" void on_connect_deadline(int) {
    connect_deadline_passed = 1;
}

// After the deadline the signal comes again at this interval, in case the first one arrived
// just before connect() started waiting and so interrupted nothing.
constexpr long deadline_repeat_ns = 100L * 1000 * 1000;

// glibc asks an unanswering name server for 5 s, twice, and each server in turn. These
// settings belong to this thread's resolver state, which SDLNet_ResolveHost uses; glibc keeps
// them rather than reloading resolv.conf over them.
void bound_name_lookup() {
    if (res_init() != 0) {
        return;
    }
    const ResolverTiming timing =
        bounded_resolver_timing(ResolverTiming{_res.retrans, _res.retry}, _res.nscount);
    _res.retrans = timing.retrans;
    _res.retry = timing.retry;
}

// SDLNet_TCP_Open makes a blocking connect() with no time limit: a server whose host drops
// the SYNs holds it for over two minutes. A timer signal with a handler that does not restart
// system calls makes connect() fail with EINTR at the deadline; SDL_net then closes the socket.
// The signal is aimed at this thread: sent to the process it could land on an audio or GL
// thread and interrupt nothing here.
TCPsocket open_within_deadline(IPaddress* address) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = on_connect_deadline;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGALRM, &action, &previous);

    sigevent notice{};
    notice.sigev_notify = SIGEV_THREAD_ID;
    notice.sigev_signo = SIGALRM;
    notice._sigev_un._tid = gettid();
    timer_t timer{};
    const bool armed = timer_create(CLOCK_MONOTONIC, &notice, &timer) == 0;
    if (armed) {
        itimerspec when{};
        when.it_value.tv_sec = connect_deadline_ms / 1000;
        when.it_value.tv_nsec = (connect_deadline_ms % 1000) * 1000L * 1000;
        when.it_interval.tv_nsec = deadline_repeat_ns;
        timer_settime(timer, 0, &when, nullptr);
    }
    TCPsocket opened = SDLNet_TCP_Open(address);
    if (armed) {
        timer_delete(timer); // a signal already sent has been handled by now: it was ours
    }
    sigaction(SIGALRM, &previous, nullptr);
    return opened;
}

// Descriptors of this process's sockets.
std::vector<int> open_sockets() {
    std::vector<int> sockets;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return sockets;
    }
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat info {};
        if (*end == '\0' && end != entry->d_name && fstat(static_cast<int>(fd), &info) == 0 &&
            S_ISSOCK(info.st_mode)) {
            sockets.push_back(static_cast<int>(fd));
        }
    }
    closedir(dir);
    return sockets;
}

// SDL_net keeps its socket's descriptor to itself. The one it opened is the socket that was not
// there before SDLNet_TCP_Open and whose far end is the address it was given.
int find_descriptor(const std::vector<int>& before, const IPaddress& address) {
    for (const int fd : open_sockets()) {
        if (std::find(before.begin(), before.end(), fd) != before.end()) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
            peer.sin_family == AF_INET && peer.sin_addr.s_addr == address.host &&
            peer.sin_port == address.port) {
            return fd;
        }
    }
    return -1;
}

// Non-blocking, SDL_net's send loop stops at a full buffer instead of waiting in it; the wait
// is then ours, in send_within_limit. Left blocking (-1) if anything fails.
int unblocked_descriptor(const std::vector<int>& before, const IPaddress& address) {
    const int fd = find_descriptor(before, address);
    if (fd < 0) {
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return -1;
    }
    return fd;
}

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sends all of data or nothing more ever: an update that went out in part would misalign every
// later byte, and a server that has had no room for send_wait_limit_ms is taken as gone. Either
// gives the server up. A broken connection fails at once and is left to fail again next time,
// as SDL_net's blocking sends did.
bool send_within_limit(const void* data, int length) {
    if (!given_up.empty()) {
        return false;
    }
    long long start = -1; // read only once a wait begins: a pass that sends at once reads no clock
    for (;;) {
        const int sent = SDLNet_TCP_Send(server, data, length);
        if (sent == length) {
            return true;
        }
        if (sent > 0) {
            given_up = "Server took " + std::to_string(sent) + " of " + std::to_string(length) +
                       " bytes; nothing more is sent";
            return false;
        }
        if (server_fd < 0) {
            return false;
        }
        if (start < 0) {
            start = monotonic_ms();
        }
        const long long left = send_wait_limit_ms - (monotonic_ms() - start);
        pollfd room{server_fd, POLLOUT, 0};
        const int ready = left > 0 ? poll(&room, 1, static_cast<int>(left)) : 0;
        if (ready == 0) {
            given_up = "Server took no data for " + std::to_string(send_wait_limit_ms) +
                       " ms; nothing more is sent";
            return false;
        }
        if (ready > 0 && (room.revents & (POLLERR | POLLHUP)) != 0) {
            return false;
        }
        // Room again, or a signal cut the wait short: try once more within what is left.
    }
}

} // namespace

bool connect_to_server(const std::string& host, int port) {
    std::cout << "Connecting to server " << host << " on port " << port << std::endl;
    IPaddress address;
    bound_name_lookup();
    // SDL_net sets no error text when the lookup fails, which left whatever SDL said last (under
    // sdl12-compat, something about OpenGL); the resolver's own reason is in h_errno.
    SDL_ClearError();
    if (SDLNet_ResolveHost(&address, host.c_str(), static_cast<Uint16>(port)) < 0) {
        const char* reason = SDL_GetError();
        std::cout << "SDLNet_ResolveHost: " << (*reason != '\0' ? reason : hstrerror(h_errno))
                  << std::endl;
        return false;
    }
    const std::vector<int> before = open_sockets();
    connect_deadline_passed = 0;
    server = open_within_deadline(&address);
    if (server == nullptr) {
        std::cout << "SDLNet_TCP_Open: " << SDL_GetError();
        if (connect_deadline_passed != 0) {
            std::cout << ": timed out, no answer within " << connect_deadline_ms << " ms";
        }
        std::cout << std::endl;
        return false;
    }
    server_fd = unblocked_descriptor(before, address);
    std::cout << "Connected successfully!" << std::endl;
    return true;
}

bool send_message(const char* text) {
    if (server == nullptr) {
        return false; // the failed connection was logged at start-up
    }
    const int length = static_cast<int>(std::strlen(text)) + 1;
    if (!send_within_limit(text, length)) {
        std::cout << "SDLNet_TCP_Send: " << (given_up.empty() ? SDL_GetError() : given_up.c_str())
                  << std::endl;
        return false;
    }
    return true;
}

void send_position(int x) {
    if (server == nullptr) {
        return;
    }
    unsigned char buffer[4];
    write_uint32_be(static_cast<Uint32>(x), buffer);
    send_within_limit(buffer, 4);
}
