// brackenreach-server's command line: every option with its default and range, declared once
// through CLI11, which also writes --help from these declarations.
#pragma once

#include <cstddef>
#include <string>

struct Options {
    std::string host = "127.0.0.1";
    unsigned short port = 1337;
    std::size_t max_clients = 256;
    double idle_timeout_seconds = 30;
    // A real client sends its first update when its first frame is drawn: about 30 ms after
    // connecting here, 1.6 s at worst under valgrind. Silent connections hold a slot until this
    // runs out, so a burst of max_clients of them keeps every player out this long.
    double first_byte_timeout_seconds = 5;
    bool latency_probe = false;
};

// Fills options from the command line. Returns -1 when the server should run; else the exit
// status, after printing --help on stdout (0) or what was wrong on stderr (2).
int parse_options(int argc, char** argv, Options& options);
