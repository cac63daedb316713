#include "SDL_net.h"

#include "stepped_wait.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <process.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct WinTcpSocket {
    SOCKET handle;
    bool broken; // a send failed with anything but a full buffer
    int error;   // the Winsock error that broke it, 0 while none did
};

namespace {

int started = 0;
int lookup_limit_ms = 0;
int open_limit_ms = 0;
bool open_timed_out = false;
int step_ms = 0;
void (*wait_step)(void) = nullptr;

std::vector<TCPsocket> open_sockets;

// Every wait below: at most ms, stopping every step_ms to call wait_step when one is set.
template <typename WaitOnce> int stepped_wait(int ms, WaitOnce wait_once) {
    const auto now = [] {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
    };
    return wait_in_steps(ms, wait_step != nullptr ? step_ms : 0, now, wait_once,
                         [] { wait_step(); });
}

// One name lookup, shared by the caller and the thread that asks the resolver: whichever of the
// two lets go of it last frees it, so a caller that stopped waiting leaves nothing behind.
struct Lookup {
    std::string name;
    HANDLE done = nullptr; // set by the thread once error and host are written
    int error = 0;   // getaddrinfo's result: 0, or a WSA code (EAI_NONAME is WSAHOST_NOT_FOUND)
    Uint32 host = 0; // network byte order
    ~Lookup() { CloseHandle(done); }
};

void look_up(Lookup& lookup) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    lookup.error = getaddrinfo(lookup.name.c_str(), nullptr, &hints, &found);
    if (lookup.error == 0) {
        lookup.host = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(found);
    }
    SetEvent(lookup.done);
}

unsigned __stdcall look_up_on_thread(void* shared) {
    const std::unique_ptr<std::shared_ptr<Lookup>> lookup(
        static_cast<std::shared_ptr<Lookup>*>(shared));
    look_up(**lookup);
    return 0;
}

// Windows asks each name server in turn and again for over ten seconds, and getaddrinfo takes no
// time limit: the lookup runs on a thread of its own, left to finish alone when the limit
// passes. WSATRY_AGAIN then, as the resolver says of a name server that did not answer.
int resolve_within_limit(const char* name, Uint32* host) {
    const auto lookup = std::make_shared<Lookup>();
    lookup->name = name;
    lookup->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* handed = new std::shared_ptr<Lookup>(lookup);
    const uintptr_t thread = lookup->done != nullptr
                                 ? _beginthreadex(nullptr, 0, look_up_on_thread, handed, 0, nullptr)
                                 : 0;
    if (thread == 0) {
        delete handed;
        look_up(*lookup); // no thread to be had: wait as SDL_net would
    } else {
        CloseHandle(reinterpret_cast<HANDLE>(thread));
        const int done = stepped_wait(lookup_limit_ms > 0 ? lookup_limit_ms : -1, [&](int slice) {
            const DWORD limit = slice < 0 ? INFINITE : static_cast<DWORD>(slice);
            return WaitForSingleObject(lookup->done, limit) == WAIT_OBJECT_0 ? 1 : 0;
        });
        if (done == 0) {
            return WSATRY_AGAIN;
        }
    }
    *host = lookup->host;
    return lookup->error;
}

// select's wait for sock, at most ms (forever when negative): 1 ready, 0 not in time, -1 failed.
// Room to send shows in the write set; a connect that failed, in the exception set.
int select_once(SOCKET sock, int ms) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock, &writable);
    FD_SET(sock, &failed);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, ms < 0 ? nullptr : &limit);
    if (ready < 0 || FD_ISSET(sock, &failed)) {
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

int wait_for(SOCKET sock, int ms) {
    return stepped_wait(ms, [sock](int slice) { return select_once(sock, slice); });
}

void no_delay(SOCKET sock) {
    const BOOL yes = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
}

TCPsocket kept(SOCKET sock) {
    TCPsocket opened = new WinTcpSocket{sock, false, 0};
    open_sockets.push_back(opened);
    return opened;
}

// A non-blocking socket whose connect to address has begun (or is done); INVALID_SOCKET, with
// the error left for WSAGetLastError, when it failed at once.
SOCKET start_connect(const IPaddress* address) {
    const SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    u_long non_blocking = 1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address->host;
    peer.sin_port = address->port;
    if (ioctlsocket(sock, FIONBIO, &non_blocking) != 0 ||
        (connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        const int error = WSAGetLastError();
        closesocket(sock);
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    return sock;
}

// The connect start_connect began, waited for in select; SOCKET_ERROR on failure or at the limit.
int connect_within_limit(SOCKET sock) {
    const int ready = wait_for(sock, open_limit_ms > 0 ? open_limit_ms : -1);
    open_timed_out = ready == 0;
    int error = 0;
    int size = sizeof error;
    if (ready <= 0 ||
        getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0) {
        return SOCKET_ERROR;
    }
    return 0;
}

} // namespace

extern "C" {

int SDLNet_Init(void) {
    if (started == 0) {
        WSADATA data;
        const int error = WSAStartup(MAKEWORD(2, 2), &data);
        if (error != 0) {
            SDL_SetError("Couldn't initialize Winsock (error %d)", error);
            return -1;
        }
    }
    ++started;
    return 0;
}

void SDLNet_Quit(void) {
    if (started == 0 || --started > 0) {
        return;
    }
    while (!open_sockets.empty()) {
        SDLNet_TCP_Close(open_sockets.back());
    }
    WSACleanup();
}

int SDLNet_ResolveHost(IPaddress* address, const char* host, Uint16 port) {
    address->port = SDL_SwapBE16(port);
    if (host == nullptr) {
        address->host = INADDR_ANY;
        return 0;
    }
    address->host = inet_addr(host);
    if (address->host != INADDR_NONE) {
        return 0;
    }
    const int error =
        *host != '\0' ? resolve_within_limit(host, &address->host) : WSAHOST_NOT_FOUND;
    if (error != 0) {
        address->host = INADDR_NONE;
        WSASetLastError(error); // last: h_errno is Windows' last error, which anything may change
        return -1;
    }
    return 0;
}

TCPsocket SDLNet_TCP_Open(IPaddress* address) {
    open_timed_out = false;
    const SOCKET sock = start_connect(address);
    if (sock == INVALID_SOCKET || connect_within_limit(sock) != 0) {
        if (sock != INVALID_SOCKET) {
            closesocket(sock);
        }
        SDL_SetError("Couldn't connect to remote host");
        return nullptr;
    }
    no_delay(sock);
    return kept(sock);
}

int SDLNet_TCP_Send(TCPsocket sock, const void* data, int len) {
    const char* next = static_cast<const char*>(data);
    int sent = 0;
    while (sent < len && !sock->broken) {
        const int took = send(sock->handle, next + sent, len - sent, 0);
        if (took > 0) {
            sent += took;
        } else if (took == 0 || WSAGetLastError() == WSAEWOULDBLOCK) {
            break; // no room: the caller waits for it, or gives the server up
        } else {
            sock->broken = true;
            sock->error = WSAGetLastError();
        }
    }
    return sent;
}

// Closed the polite way: what was sent still reaches the server, then the end of the stream.
void SDLNet_TCP_Close(TCPsocket sock) {
    if (sock == nullptr) {
        return;
    }
    open_sockets.erase(std::remove(open_sockets.begin(), open_sockets.end(), sock),
                       open_sockets.end());
    closesocket(sock->handle);
    delete sock;
}

void SDLNet_Win_SetWaitStep(int ms, void (*step)(void)) {
    step_ms = ms;
    wait_step = step;
}

void SDLNet_Win_SetLookupLimit(int ms) {
    lookup_limit_ms = ms;
}

void SDLNet_Win_SetOpenLimit(int ms) {
    open_limit_ms = ms;
}

int SDLNet_Win_OpenTimedOut(void) {
    return open_timed_out ? 1 : 0;
}

int SDLNet_Win_WaitForRoom(TCPsocket sock, int ms) {
    return sock->broken ? -1 : wait_for(sock->handle, ms);
}

int SDLNet_Win_SocketError(TCPsocket sock) {
    return sock->error;
}

TCPsocket SDLNet_Win_OpenStart(IPaddress* address) {
    const SOCKET sock = start_connect(address);
    return sock != INVALID_SOCKET ? kept(sock) : nullptr;
}

int SDLNet_Win_Connected(TCPsocket sock) {
    const int ready = select_once(sock->handle, 0);
    if (ready == 0) {
        return 0;
    }
    int error = 0;
    int size = sizeof error;
    if (getsockopt(sock->handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
        0) {
        error = WSAGetLastError();
    }
    if (ready < 0 || error != 0) {
        sock->broken = true;
        sock->error = error != 0 ? error : WSAECONNREFUSED;
        return -1;
    }
    no_delay(sock->handle);
    return 1;
}

} // extern "C"
