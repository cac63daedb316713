// The admission ledger: the one place that decides whether a socket may exist. Every socket holds
// a Ticket from its accept until its descriptor is closed, charged to its kind (a game
// connection, a page connection, or a socket that is closing) and to its address's prefixes, so
// that no kind of socket, however new, can go uncounted. Owns nothing but counts; the sessions own
// their sockets and tell the ledger how to stop them.
#pragma once

#include "server/net.h"
#include "server/prefixes.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

enum class Kind { game, page, closing };

// The server's come from its options (budgets_of, shares_of in server.h).
struct Budgets {
    std::size_t game;    // --max-clients
    std::size_t page;    // --max-page-connections
    std::size_t closing; // as many as game slots: each ended player may be closing
};

// Per IPv4 address or IPv6 /64; a /56 or /48 gets network_factor times as much. 0 lifts one.
struct Shares {
    std::size_t game;
    std::size_t silent; // game connections that have sent nothing yet
    std::size_t page;
    std::size_t closing;
    static constexpr std::size_t network_factor = 2;
};

class Ticket;

class Ledger {
  public:
    using Clock = std::chrono::steady_clock;

    Ledger(const Budgets& budgets, const Shares& shares) : budgets_(budgets), shares_(shares) {}
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // Empty when one more socket of kind from address fits (silent: a game connection that has
    // sent nothing yet; shared: counted against address's shares), else the refusal's
    // "reason=... max_...=N" text.
    std::string refusal(Kind kind, const net::ip::address& address, bool silent,
                        bool shared = true) const;
    // Charges a socket whatever refusal() says: callers ask first.
    Ticket admit(Kind kind, const net::ip::address& address, bool silent, bool shared = true);

    // Page connections are full (in all, or for newcomer's address): closes an idle one of that
    // address, else (in all) the oldest one of the address holding the most, when that is more
    // than newcomer holds. False when none may give way.
    bool make_page_room(const net::ip::address& newcomer, bool for_share);

    // Calls every ticket's stop, once: the server is stopping. Tickets made from then on are
    // stopped by their own bounds.
    void stop_all();
    bool stopping() const { return stopping_; }

    std::size_t held(Kind kind) const { return totals_[static_cast<int>(kind)]; }

  private:
    friend class Ticket;
    struct Entry {
        Kind kind;
        net::ip::address address;
        bool silent;
        bool shared;
        bool idle = false;
        bool stopped = false;
        Clock::time_point since = Clock::now();
        std::function<void()> stop;
    };
    struct Counts {
        std::array<std::size_t, 3> kind{};
        std::size_t silent = 0;
    };
    void charge(const Entry& entry, int sign);
    std::size_t held_by(const net::ip::address& address, Kind kind) const;
    void stop_entry(std::uint64_t id);

    Budgets budgets_;
    Shares shares_;
    std::array<std::size_t, 3> totals_{};
    std::map<Prefix, Counts> counts_; // only prefixes with a socket
    std::map<std::uint64_t, Entry> entries_;
    std::uint64_t next_ = 0;
    bool stopping_ = false;
};

// A socket's place in the ledger, given back when released or destroyed: owned by whatever owns
// the socket, so that no path can forget it. Moves with the socket from session to session.
class Ticket {
  public:
    Ticket() = default;
    Ticket(Ticket&& other) noexcept { *this = std::move(other); }
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() { release(); }

    bool holds() const { return ledger_ != nullptr; }
    void release();

    // Recharges this socket as kind for address, if the ledger lets it (its own charge does not
    // count against it). Empty on success, else the refusal, and the ticket is as it was.
    std::string change(Kind kind, const net::ip::address& address, bool silent, bool shared = true);
    // The game connection has sent its first byte.
    void heard();
    // A page connection waiting for its next request, none of it received: the first to give way.
    void set_idle(bool idle);
    // How to end this socket at once when the server stops (or a page connection gives way).
    void on_stop(std::function<void()> stop);
    bool stopping() const { return ledger_ != nullptr && ledger_->stopping(); }

  private:
    friend class Ledger;
    Ticket(Ledger* ledger, std::uint64_t id) : ledger_(ledger), id_(id) {}
    Ledger::Entry* entry() const;

    Ledger* ledger_ = nullptr;
    std::uint64_t id_ = 0;
};
