// The prefixes an address counts for in the admission ledger and in the refusal lines: an IPv4
// address, or an IPv6 /64 and the /56 and /48 around it.
#pragma once

#include "server/net.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// What the shares are counted by. An IPv4 address, or an IPv6 /64 (one subscriber gets a whole
// /64, so its single addresses would limit nothing); and since home delegations are /56 or /48,
// all the /64s of one /56, and of one /48, count together again at a wider share.
struct Prefix {
    std::uint8_t bits; // 32 for IPv4, else 64, 56 or 48
    std::array<unsigned char, 16> bytes;
    bool operator<(const Prefix& other) const {
        return bits != other.bits ? bits < other.bits : bytes < other.bytes;
    }
    bool operator==(const Prefix& other) const {
        return bits == other.bits && bytes == other.bytes;
    }
};

// The prefixes address counts for, narrowest first (IPv4 mapped into IPv6 counts as IPv4).
std::array<Prefix, 3> prefixes_of(const net::ip::address& address, std::size_t& count);
// "192.0.2.1" or "2001:db8:0:100::/56", for the lines that name a prefix.
std::string prefix_text(const Prefix& prefix);
