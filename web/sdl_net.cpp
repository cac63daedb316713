#include "SDL_net.h"

#include "library_brackenreach.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

struct WebTcpSocket {
    int fd;
};

namespace {

// A Linux TCP socket starts with this much send buffer (tcp_wmem's default): the room the
// desktop's link has before its sends must wait for the server.
constexpr int send_buffer_bytes = 16384;

constexpr int websocket_connecting = 0;
constexpr int websocket_open = 1;

int open_limit_ms = 0;
bool open_timed_out = false;

std::vector<TCPsocket> open_sockets;

// Starts the WebSocket to address: its descriptor, or -1 when it could not start.
int start_websocket(const IPaddress* address) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address->host;
    peer.sin_port = address->port;
    // Emscripten's connect() starts the WebSocket and returns EINPROGRESS; it opens later.
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

TCPsocket kept(int fd) {
    TCPsocket sock = new WebTcpSocket{fd};
    open_sockets.push_back(sock);
    return sock;
}

void close_open_sockets() {
    while (!open_sockets.empty()) {
        SDLNet_TCP_Close(open_sockets.back());
    }
}

} // namespace

extern "C" {

int SDLNet_Init(void) {
    static bool registered = false;
    if (!registered) {
        std::atexit(close_open_sockets);
        registered = true;
    }
    return 0;
}

void SDLNet_Quit(void) {}

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
    const hostent* entry = *host != '\0' ? gethostbyname(host) : nullptr;
    if (entry == nullptr || entry->h_length != static_cast<int>(sizeof address->host)) {
        h_errno = HOST_NOT_FOUND;
        return -1;
    }
    std::memcpy(&address->host, entry->h_addr, sizeof address->host);
    return 0;
}

TCPsocket SDLNet_TCP_Open(IPaddress* address) {
    open_timed_out = false;
    const int fd = start_websocket(address);
    if (fd < 0) {
        SDL_SetError("Couldn't connect to remote host");
        return nullptr;
    }
    if (brackenreach_websocket_settle(fd, open_limit_ms) != websocket_open) {
        int buffered = 0;
        open_timed_out = brackenreach_websocket_state(fd, &buffered) == websocket_connecting;
        close(fd);
        SDL_SetError("Couldn't connect to remote host");
        return nullptr;
    }
    return kept(fd);
}

int SDLNet_TCP_Send(TCPsocket sock, const void* data, int len) {
    if (len <= 0 || SDLNet_Web_Room(sock) <= 0) {
        return 0;
    }
    const ssize_t sent = send(sock->fd, data, static_cast<size_t>(len), 0);
    return sent == len ? len : 0;
}

void SDLNet_TCP_Close(TCPsocket sock) {
    if (sock == nullptr) {
        return;
    }
    open_sockets.erase(std::remove(open_sockets.begin(), open_sockets.end(), sock),
                       open_sockets.end());
    close(sock->fd);
    delete sock;
}

void SDLNet_Web_SetOpenLimit(int ms) {
    open_limit_ms = ms;
}

int SDLNet_Web_Room(TCPsocket sock) {
    int buffered = 0;
    if (brackenreach_websocket_state(sock->fd, &buffered) != websocket_open) {
        return -1;
    }
    return std::max(0, send_buffer_bytes - buffered);
}

int SDLNet_Web_OpenTimedOut(void) {
    return open_timed_out ? 1 : 0;
}

TCPsocket SDLNet_Web_OpenStart(IPaddress* address) {
    const int fd = start_websocket(address);
    return fd >= 0 ? kept(fd) : nullptr;
}

int SDLNet_Web_Opened(TCPsocket sock) {
    int buffered = 0;
    const int state = brackenreach_websocket_state(sock->fd, &buffered);
    return state == websocket_open ? 1 : state == websocket_connecting ? 0 : -1;
}

} // extern "C"
