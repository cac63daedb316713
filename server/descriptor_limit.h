// The file descriptors the configured limits need, checked against RLIMIT_NOFILE at start: a
// server that runs out of them in the middle of a game can only refuse everyone, so a limit too
// low for the options is raised, or refused as a bad setting.
#pragma once

#include "server/options.h"

#include <cstddef>
#include <string>

// One per game connection; with --web-root one per page connection (--max-page-connections) and
// as many again as game connections for sockets that are closing (refusals being answered among
// them); and a reserve for the server's own (standard streams, listeners, the event loop, its
// timers and signals).
std::size_t descriptors_needed(const Options& options);

// Raises the soft RLIMIT_NOFILE to descriptors_needed() where it is lower and the hard limit
// allows. Returns an empty string when there are enough, else what is wrong and which option to
// lower.
std::string make_room_for_descriptors(const Options& options);
