// The runs server_load can make; each prints its key=value lines and a verdict line and returns
// the exit status (0 holds, 3 fails, 1 when the server could not be started).
#pragma once

#include "bench/load_options.h"

int run_steady(const Options& options);
int run_abuse(const Options& options);
int run_restart(const Options& options);

// Part of the abuse run: a burst of options.silent connections that never send, against a
// server started with its own defaults, and a client trying to get in every 50 ms. Prints its
// lines and adds to verdict.
class Verdict;
void run_silent_burst(const Options& options, Verdict& verdict);
// The last part: one address (127.0.0.2) holding every connection the server lets it and
// reopening each as soon as it closes, against a server at its own defaults, while a player from
// 127.0.0.1 tries to join every 50 ms.
void run_one_address(const Options& options, Verdict& verdict);
