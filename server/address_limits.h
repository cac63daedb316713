// How many connections each source address holds open, and how many of its game connections
// have sent nothing yet, so that one address cannot take every slot and keep the others out.
#pragma once

#include "server/net.h"

#include <array>
#include <cstddef>
#include <map>
#include <string>

class AddressLimits {
  public:
    // An IPv4 address (also when it arrives mapped into IPv6), or an IPv6 /64: one subscriber
    // gets a whole /64, so counting its single addresses would limit nothing.
    using Key = std::array<unsigned char, 16>;
    static Key key_of(const net::ip::address& address);

    // 0 lifts either limit.
    AddressLimits(std::size_t max_open, std::size_t max_silent)
        : max_open_(max_open), max_silent_(max_silent) {}

    // Empty when one more connection (open: a new socket; silent: a game connection that has
    // sent nothing yet) fits for key, else the refusal's "reason=... max_...=N" text.
    std::string refusal(const Key& key, bool open, bool silent) const;

  private:
    friend class AddressHold;
    struct Counts {
        std::size_t open = 0;
        std::size_t silent = 0;
    };
    void change(const Key& key, int open, int silent);

    std::size_t max_open_;
    std::size_t max_silent_;
    std::map<Key, Counts> counts_; // only addresses with a connection
};

// A connection's share of its address's counts (open, silent or both), given back when it is
// released or destroyed. Owned by whatever owns the socket (a web session, then its WebSocket's
// Connection), so a socket still closing keeps its share until it is gone.
class AddressHold {
  public:
    AddressHold() = default;
    AddressHold(AddressLimits& limits, const AddressLimits::Key& key, bool open, bool silent);
    AddressHold(AddressHold&& other) noexcept { *this = std::move(other); }
    AddressHold& operator=(AddressHold&& other) noexcept;
    AddressHold(const AddressHold&) = delete;
    AddressHold& operator=(const AddressHold&) = delete;
    ~AddressHold() { release(); }

    void release();
    bool holds() const { return limits_ != nullptr; }

  private:
    AddressLimits* limits_ = nullptr;
    AddressLimits::Key key_{};
    bool open_ = false;
    bool silent_ = false;
};
