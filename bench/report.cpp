#include "bench/report.h"

#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

long field_of(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtol(line.c_str() + at + key.size() + 2, nullptr, 10);
}

double generator_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Verdict::fail_if(bool bad, const char* why) {
    if (bad) {
        reasons_ += reasons_.empty() ? why : std::string(",") + why;
    }
}

int Verdict::say_it() const {
    say(reasons_.empty() ? "verdict=holds" : "verdict=fails reasons=" + reasons_);
    return reasons_.empty() ? 0 : 3;
}
