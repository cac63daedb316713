// The server link's edge on Linux: glibc's resolver settings, a timer signal for the connect
// deadline, the socket under SDL_net found and made non-blocking so that waiting for room is
// done here, with poll, and connections made during play without waiting, then handed to SDL_net.
#include "net/link_edge.h"

#include "net/link_bounds.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <resolv.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// The descriptor under the socket edge_open (or edge_open_poll) returned, non-blocking; -1 when
// it could not be found, and the sends then block as SDL_net's do.
int server_fd = -1;

// The connection edge_open_start began; -1 when none is under way.
int opening_fd = -1;

volatile std::sig_atomic_t connect_deadline_passed = 0;

extern "C" void on_connect_deadline(int) {
    connect_deadline_passed = 1;
}

// Descriptor numbers looked at when searching for the socket: Linux's own ceiling (fs.nr_open)
// by default; the search never goes past the process's limit.
constexpr rlim_t max_descriptors = 1 << 20;
constexpr int poll_batch = 1024;

// After the deadline the signal comes again at this interval, in case the first one arrived
// just before connect() started waiting and so interrupted nothing.
constexpr long deadline_repeat_ns = 100L * 1000 * 1000;

// SDLNet_TCP_Open makes a blocking connect() with no time limit: a server whose host drops
// the SYNs holds it for over two minutes. A timer signal with a handler that does not restart
// system calls makes connect() fail with EINTR at the deadline; SDL_net then closes the socket.
// The signal is aimed at this thread: sent to the process it could land on an audio or GL
// thread and interrupt nothing here. A mask inherited from the parent may block it, so it is
// let through for the attempt.
TCPsocket open_within_deadline(IPaddress* address) {
    sigset_t alarm_only;
    sigset_t mask_before;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, &mask_before);
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
    pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    return opened;
}

// Descriptors of this process's sockets, lowest first. Not read from /proc/self/fd, which some
// sandboxes and chroots lack: poll marks every number that is not an open descriptor with
// POLLNVAL, so a few calls ask the kernel about every number below the descriptor limit.
std::vector<int> open_sockets() {
    rlimit limit{};
    int highest = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        highest = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, max_descriptors));
    }
    std::vector<int> sockets;
    std::vector<pollfd> batch;
    for (int first = 0; first < highest; first += poll_batch) {
        batch.clear();
        for (int fd = first; fd < std::min(first + poll_batch, highest); ++fd) {
            batch.push_back(pollfd{fd, 0, 0});
        }
        if (poll(batch.data(), batch.size(), 0) < 0) {
            continue;
        }
        for (const pollfd& entry : batch) {
            struct stat info {};
            if ((entry.revents & POLLNVAL) == 0 && fstat(entry.fd, &info) == 0 &&
                S_ISSOCK(info.st_mode)) {
                sockets.push_back(entry.fd);
            }
        }
    }
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
// is then edge_wait_for_room's. Left blocking (-1) if anything fails.
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

// Sends that failed only for want of room, or were cut short, and may go later.
bool only_no_room(int error) {
    return error == 0 || error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The lowest descriptor number not in use: the one the next socket() gets (POSIX gives the
// lowest), so the socket SDLNet_TCP_Open makes is found without searching them all.
int lowest_free_descriptor() {
    int fd = 0;
    while (fcntl(fd, F_GETFD) != -1) {
        ++fd;
    }
    return fd;
}

bool peer_is(int fd, const sockaddr_in& address) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
           peer.sin_family == AF_INET && peer.sin_addr.s_addr == address.sin_addr.s_addr &&
           peer.sin_port == address.sin_port;
}

// SDL_net connects only by blocking, and takes in no socket made elsewhere. So the connection
// made without waiting is handed over under a TCPsocket of SDL_net's own: SDLNet_TCP_Open to a
// listener of ours on loopback (which the kernel completes at once, without an accept), then
// the connected descriptor put in the place of SDL_net's with dup2. Every send still goes
// through SDLNet_TCP_Send, and SDLNet_TCP_Close closes the right socket. Null if any step fails.
TCPsocket adopt(int connected) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof here;
    TCPsocket adopted = nullptr;
    if (listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&here), sizeof here) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&here), &size) == 0) {
        const int expected = lowest_free_descriptor();
        IPaddress stand_in{here.sin_addr.s_addr, here.sin_port};
        adopted = SDLNet_TCP_Open(&stand_in);
        // Another thread may have taken that number first: then the socket is searched for.
        const int fd = peer_is(expected, here) ? expected : find_descriptor({}, stand_in);
        if (adopted != nullptr && (fd < 0 || dup2(connected, fd) < 0)) {
            SDLNet_TCP_Close(adopted);
            adopted = nullptr;
        }
        server_fd = adopted != nullptr ? fd : -1;
    }
    if (listener >= 0) {
        close(listener);
    }
    close(connected);
    return adopted;
}

} // namespace

const char* edge_lookup_failure() {
    return hstrerror(h_errno);
}

// glibc asks an unanswering name server for 5 s, twice, and each server in turn. These
// settings belong to this thread's resolver state, which SDLNet_ResolveHost uses; glibc keeps
// them rather than reloading resolv.conf over them.
void edge_bound_name_lookup() {
    if (res_init() != 0) {
        return;
    }
    const ResolverTiming timing =
        bounded_resolver_timing(ResolverTiming{_res.retrans, _res.retry}, _res.nscount);
    _res.retrans = timing.retrans;
    _res.retry = timing.retry;
}

TCPsocket edge_open(IPaddress* address, bool* timed_out) {
    const std::vector<int> before = open_sockets();
    connect_deadline_passed = 0;
    TCPsocket opened = open_within_deadline(address);
    *timed_out = opened == nullptr && connect_deadline_passed != 0;
    if (opened != nullptr) {
        server_fd = unblocked_descriptor(before, *address);
    }
    return opened;
}

Room edge_wait_for_room(int ms, std::string* why) {
    if (server_fd < 0) {
        return Room::broken;
    }
    pollfd room{server_fd, POLLOUT, 0};
    const int ready = poll(&room, 1, ms);
    if (ready == 0) {
        return Room::timed_out;
    }
    if (ready > 0 && (room.revents & (POLLERR | POLLHUP)) != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(server_fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) {
            *why = std::strerror(error);
        }
        return Room::broken;
    }
    return Room::ready; // room, or a signal cut the wait short
}

std::string edge_send_failure(int send_errno) {
    return only_no_room(send_errno) ? std::string() : std::strerror(send_errno);
}

bool edge_open_start(IPaddress* address, std::string* why) {
    edge_open_abandon();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address->host;
    peer.sin_port = address->port;
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS) {
        *why = std::strerror(errno);
        close(fd);
        return false;
    }
    opening_fd = fd;
    return true;
}

Opening edge_open_poll(TCPsocket* opened, std::string* why) {
    if (opening_fd < 0) {
        *why = "No connection under way";
        return Opening::failed;
    }
    pollfd done{opening_fd, POLLOUT, 0};
    if (poll(&done, 1, 0) == 0) {
        return Opening::pending;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(opening_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    const int fd = opening_fd;
    opening_fd = -1;
    if (error != 0) {
        *why = std::strerror(error);
        close(fd);
        return Opening::failed;
    }
    // Each update its own segment at once, as on SDL_net's sockets.
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    *opened = adopt(fd);
    if (*opened == nullptr) {
        *why = "The connection could not be handed to SDL_net";
        return Opening::failed;
    }
    return Opening::open;
}

void edge_open_abandon() {
    if (opening_fd >= 0) {
        close(opening_fd);
        opening_fd = -1;
    }
}
