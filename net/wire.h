// Byte encoding of the client-to-server stream: 4-byte big-endian position updates, then the
// goodbye "exit" with its zero byte. The client encodes and the server decodes with this code.
#pragma once

#include <cstdint>

// Stores value in buffer[0..3], most significant byte first.
void write_uint32_be(std::uint32_t value, unsigned char* buffer);

// Reads buffer[0..3], most significant byte first.
std::uint32_t read_uint32_be(const unsigned char* buffer);

// Microseconds of CLOCK_MONOTONIC modulo 2^31: what the load generator sends as x and what the
// server's --latency-probe subtracts on decode. One definition, so both ends read one clock.
std::uint32_t monotonic_us_mod31();
