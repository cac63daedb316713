// The client's one TCP connection to the game server: opened at start-up, fed a 4-byte position
// update every pass and "exit" at the end. The client never reads from it. No call here holds
// the frame loop for long: the connect has a deadline, the name lookup a bounded resolver, and a
// send that finds no room within a short wait gives the server up (limits in net/link_bounds.h).
#pragma once

#include <SDL_net.h>

#include <string>

// Opened by connect_to_server at start-up; null when that failed. Never closed by the program:
// SDLNet_Quit in clean_up (or the process's end) takes it down.
extern TCPsocket server;

// Resolves host (port narrowed to 16 bits) and connects, logging progress; false on failure,
// including a server that does not answer within connect_deadline_ms, and a host that names no
// single server (net/server_address.h), refused before any socket is opened.
bool connect_to_server(const std::string& host, int port);

// Sends text and its terminating zero byte; false (and a log line) unless every byte went out.
// Without a connection there is nothing to send to, and it quietly returns false.
bool send_message(const char* text);

// Sends the player's x (already truncated toward zero) as 4 big-endian bytes. Failures are
// ignored: a lost server must not stop the game.
void send_position(int x);
