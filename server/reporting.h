// What the sessions tell whoever keeps the server's counts and summary (the Server), and the
// settings a game connection runs by: all a session knows of the rest of the server besides the
// admission ledger.
#pragma once

#include "server/net.h"

#include <chrono>
#include <cstdint>
#include <string>

class Reporter {
  public:
    // Logs "joined #N PEER KIND" and returns N.
    virtual std::uint64_t joined(const std::string& peer, const char* kind) = 0;
    virtual void goodbye() = 0;
    virtual void ended(std::uint64_t updates, bool said_goodbye) = 0;
    // A clock-stamped update's send-to-decode delay (--latency-probe).
    virtual void delay(std::uint32_t us) = 0;
    // Logs (rate-limited per address) and counts a refusal: "refused PEER WHY KIND"; who: the
    // address it is charged to.
    virtual void refused(const net::ip::address& who, const std::string& peer,
                         const std::string& why, const char* kind) = 0;

  protected:
    ~Reporter() = default;
};

struct GameSettings {
    using Duration = net::steady_timer::duration;
    // How long a game connection may stay silent before it is closed (zero: for ever), and the
    // reason its line then gives.
    struct SilenceLimit {
        Duration after;
        const char* reason;
    };

    Duration idle_timeout{};
    Duration first_byte_timeout{};
    bool latency_probe = false;

    // Before the first byte, the shorter of the first-byte and the idle timeout that are on;
    // after it, the idle timeout.
    SilenceLimit silence_limit(bool heard_from) const {
        const bool first_byte_rules =
            !heard_from && first_byte_timeout != Duration::zero() &&
            (idle_timeout == Duration::zero() || first_byte_timeout <= idle_timeout);
        return first_byte_rules ? SilenceLimit{first_byte_timeout, "first_byte_timeout"}
                                : SilenceLimit{idle_timeout, "idle_timeout"};
    }
};

// Once a connection has ended its socket closes within this, whatever the peer does: one that
// stops reading would otherwise hold a close frame (or the pong before it) for ever.
constexpr std::chrono::seconds close_bound{2};
// A refused WebSocket's close frame waits no longer than this for the peer's answer: refusals
// cost the refuser, not the server.
constexpr std::chrono::milliseconds refusal_close_bound{500};
// What the closes that SIGTERM starts wait at most, so that the server exits within close_bound.
constexpr std::chrono::milliseconds stop_close_bound{1000};
