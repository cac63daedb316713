// SDL_net's client calls for the browser build, over Emscripten's sockets: a TCP socket there is
// a WebSocket to ws://HOST:PORT/ (subprotocol "binary"), each send one binary message. Names,
// types and results are SDL_net 1.2's, and so is the behaviour where a browser allows it; the
// two calls at the end are not SDL_net's and say why they exist.
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

typedef struct WebTcpSocket* TCPsocket;

// 0. Sockets still open when the program ends are closed then, as the end of a process closes
// its descriptors: the page outlives the program.
int SDLNet_Init(void);
void SDLNet_Quit(void);

// The browser looks names up itself when the WebSocket opens, so a name always "resolves" here
// (to a stand-in address Emscripten maps back to the name); an unknown host shows as a failed
// open. -1 only for an empty name (h_errno then says HOST_NOT_FOUND, as the resolver would).
int SDLNet_ResolveHost(IPaddress* address, const char* host, Uint16 port);

// Opens the WebSocket and waits, handing control to the browser, until it is open or has failed;
// null (and "Couldn't connect to remote host") on failure.
TCPsocket SDLNet_TCP_Open(IPaddress* address);

// Sends all of data as one message, or nothing: len when it went, 0 when the socket's send buffer
// is full or the connection is closed (SDL_net's count of bytes sent on a socket that takes
// none). Never waits.
int SDLNet_TCP_Send(TCPsocket sock, const void* data, int len);

void SDLNet_TCP_Close(TCPsocket sock);

// Not SDL_net's. The longest SDLNet_TCP_Open waits for the WebSocket to open, in ms; 0 (the start)
// waits as long as the browser tries, as SDL_net's blocking connect does. A browser has no signal
// to cut a wait short, so the deadline is set here instead.
void SDLNet_Web_SetOpenLimit(int ms);

// Not SDL_net's. Room left in sock's send buffer, in bytes: more than 0 when the next send goes
// (whole, though it may be longer), 0 when the buffer is full, -1 when the connection is closed.
// A WebSocket takes every message at once and queues what the network has not taken yet
// (bufferedAmount), so a send buffer of a TCP socket's size is kept here, and room is room in it.
int SDLNet_Web_Room(TCPsocket sock);

// Not SDL_net's. Whether SDLNet_TCP_Open gave up at the limit rather than on a failure.
int SDLNet_Web_OpenTimedOut(void);

// Not SDL_net's. Starts opening the WebSocket and returns at once: the socket, or null when it
// could not even start. SDLNet_Web_Opened says when it is open.
TCPsocket SDLNet_Web_OpenStart(IPaddress* address);

// Not SDL_net's. Whether the WebSocket SDLNet_Web_OpenStart began is open, without waiting: 1
// open, 0 still opening, -1 closed (refused, or the server went away).
int SDLNet_Web_Opened(TCPsocket sock);

#ifdef __cplusplus
}
#endif
