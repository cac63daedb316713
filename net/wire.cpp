#include "net/wire.h"

#include <time.h>

// Shifts rather than a byte-swapping helper: the result is the same on every host.
void write_uint32_be(std::uint32_t value, unsigned char* buffer) {
    buffer[0] = static_cast<unsigned char>(value >> 24);
    buffer[1] = static_cast<unsigned char>(value >> 16);
    buffer[2] = static_cast<unsigned char>(value >> 8);
    buffer[3] = static_cast<unsigned char>(value);
}

std::uint32_t read_uint32_be(const unsigned char* buffer) {
    return static_cast<std::uint32_t>(buffer[0]) << 24 |
           static_cast<std::uint32_t>(buffer[1]) << 16 |
           static_cast<std::uint32_t>(buffer[2]) << 8 | static_cast<std::uint32_t>(buffer[3]);
}

std::uint32_t monotonic_us_mod31() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t us = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    return static_cast<std::uint32_t>(us & 0x7FFFFFFFu);
}
