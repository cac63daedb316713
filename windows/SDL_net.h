// SDL_net's client calls for the Windows build, over Winsock. Names, types and results are
// SDL_net 1.2's; the socket is non-blocking from the start, and the calls at the end, which are
// not SDL_net's, bound the waits SDL_net leaves unbounded (the name lookup, the connect, room to
// send) and let the program run in them. Debian's sources of SDL_net cannot be had to cross-build
// it.
#pragma once

#include <SDL.h>

#ifdef __cplusplus
extern "C" {
#endif

// host and port in network byte order, as SDL_net keeps them.
typedef struct {
    Uint32 host;
    Uint16 port;
} IPaddress;

typedef struct WinTcpSocket* TCPsocket;

// Starts Winsock: 0, or -1 with the error text. Counted: each SDLNet_Init needs its SDLNet_Quit,
// and the last one closes the sockets still open (their unsent bytes still go) and stops Winsock.
int SDLNet_Init(void);
void SDLNet_Quit(void);

// A dotted address as it is; a name looked up (IPv4), within the lookup limit. -1 on failure,
// with no error text (as SDL_net) and the resolver's code (WSAHOST_NOT_FOUND, WSATRY_AGAIN when
// the limit passed, ...) left for WSAGetLastError, which is h_errno on Windows.
int SDLNet_ResolveHost(IPaddress* address, const char* host, Uint16 port);

// Connects, within the open limit; null and "Couldn't connect to remote host" on failure. Each
// send leaves as its own segment (TCP_NODELAY, as SDL_net sets).
TCPsocket SDLNet_TCP_Open(IPaddress* address);

// Sends as much of data as the socket takes without waiting: the count sent, 0 when nothing
// fitted or the connection has failed (SDL_net's count of bytes sent on a socket that takes none).
int SDLNet_TCP_Send(TCPsocket sock, const void* data, int len);

void SDLNet_TCP_Close(TCPsocket sock);

// Not SDL_net's. While a call waits (the lookup, the connect, room to send), it stops every ms
// to call step; 0 (the start) waits in one piece.
void SDLNet_Win_SetWaitStep(int ms, void (*step)(void));

// Not SDL_net's. The longest SDLNet_ResolveHost waits for a name, in ms; 0 (the start) waits as
// long as Windows' resolver takes. The lookup goes on on a thread of its own, which the caller
// stops waiting for at the limit.
void SDLNet_Win_SetLookupLimit(int ms);

// Not SDL_net's. The longest SDLNet_TCP_Open waits for the server to answer, in ms; 0 (the
// start) waits as long as Windows tries.
void SDLNet_Win_SetOpenLimit(int ms);

// Not SDL_net's. Whether the last SDLNet_TCP_Open gave up at the limit rather than on a failure.
int SDLNet_Win_OpenTimedOut(void);

// Not SDL_net's. Waits up to ms for room to send on sock: 1 when there is room, 0 when none came,
// -1 at once when the connection has failed.
int SDLNet_Win_WaitForRoom(TCPsocket sock, int ms);

// Not SDL_net's. The Winsock error that broke sock (a failed send or connect), 0 while none did.
int SDLNet_Win_SocketError(TCPsocket sock);

// Not SDL_net's. Starts connecting to address and returns at once: the socket, connecting, or null
// (with the Winsock error for WSAGetLastError) when it failed at once. SDLNet_Win_Connected says
// when it is open; until then nothing may be sent on it.
TCPsocket SDLNet_Win_OpenStart(IPaddress* address);

// Not SDL_net's. Whether the connection SDLNet_Win_OpenStart began is open, without waiting: 1
// open (each send then its own segment), 0 not yet, -1 failed (SDLNet_Win_SocketError says why).
int SDLNet_Win_Connected(TCPsocket sock);

#ifdef __cplusplus
}
#endif
