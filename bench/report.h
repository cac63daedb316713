// How server_load reports: key=value lines on stdout, number formatting, and the verdict line
// that ends every run.
#pragma once

#include <string>

// Prints line and a line end, flushed at once (tools/server_bench.sh reads through a pipe).
void say(const std::string& line);

// value with a fixed number of decimals.
std::string fixed(double value, int decimals);

// The number after " key=" in line; -1 when line has no such key.
long field_of(const std::string& line, const std::string& key);

// This process's user plus system CPU time in seconds.
double generator_cpu_seconds();

// Collects the reasons a run fails and prints "verdict=holds" or "verdict=fails reasons=...".
class Verdict {
  public:
    void fail_if(bool bad, const char* why);
    // Prints the verdict line; returns the exit status (0 holds, 3 fails).
    int say_it() const;

  private:
    std::string reasons_;
};
