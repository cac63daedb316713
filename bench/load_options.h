// server_load's command line: the mode and every option with its default and range, declared
// once through CLI11, which also writes --help from these declarations.
#pragma once

#include <cstddef>
#include <string>

struct Options {
    std::string server;
    std::string mode;
    std::size_t clients = 100;
    double seconds = -1; // not given: the mode's own length
    double rate = 60;
    std::size_t good = 50;
    std::size_t idle = 3000;
    std::size_t slow = 20;
    std::size_t flood_mb = 100;
    std::size_t garbage = 20;
    std::size_t resets = 10;
    // The server's default --max-clients: a burst this size fills every slot.
    std::size_t silent = 256;
    std::size_t connect_burst = 200;
    // steady: the clients over WebSockets to the web port instead of TCP to the game port.
    bool websocket = false;
};

// Fills options from the command line. Returns -1 when the run should start; else the exit
// status, after printing --help on stdout (0) or what was wrong on stderr (2).
int parse_load_options(int argc, char** argv, Options& options);
