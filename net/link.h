// The client's one TCP connection to the game server: opened at start-up, fed a 4-byte position
// update every pass and "exit" at the end; when it is lost, opened again during play after
// growing pauses. The client never reads from it. No call here holds the frame loop for long:
// start-up's connect has a deadline, the name lookup a bounded resolver, a send that finds no
// room within a short wait gives the connection up, and a try during play never waits at all
// (limits and pauses in net/link_bounds.h).
#pragma once

#include <SDL_net.h>

#include <string>

// Opened by connect_to_server at start-up, or by send_position when it reconnects; null while
// there is none. Closed by the link when it is lost, by end_link, else by SDLNet_Quit in clean_up
// (or the process's end).
extern TCPsocket server;

// Resolves host (port narrowed to 16 bits) and connects, logging progress; false on failure,
// including a server that does not answer within connect_deadline_ms, and a host that names no
// single server (net/server_address.h), refused before any socket is opened. When the address
// resolved, send_position goes on trying it.
bool connect_to_server(const std::string& host, int port);

// Sends text and its terminating zero byte on the connection open now; false (and a log line)
// unless every byte went out, the connection then closed and not tried again. Without a
// connection there is nothing to send to, and it quietly returns false.
bool send_message(const char* text);

// Sends the player's x (already truncated toward zero) as 4 big-endian bytes; without a
// connection, first moves the reconnection on a step (net/link_bounds.h's pauses), never
// waiting. A failure loses the connection (one log line) and the game plays on.
void send_position(int x);

// Closes the connection and stops trying: the game is ending.
void end_link();
