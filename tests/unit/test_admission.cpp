// The admission ledger: which addresses count together, when a socket is refused, and that every
// ticket gives back exactly what it took, however it changes hands.
#include "server/admission.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {
net::ip::address at(const char* text) {
    return net::ip::make_address(text);
}
} // namespace

TEST(Admission, AddressesThatCountAsOne) {
    const struct {
        const char* a;
        const char* b;
        std::size_t shared; // prefixes in common, narrowest first
    } rows[] = {
        {"127.0.0.1", "127.0.0.1", 1},
        {"127.0.0.1", "127.0.0.2", 0},
        {"127.0.0.2", "::ffff:127.0.0.2", 1}, // IPv4 through a dual-stack listener
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", 3}, // one /64
        {"2001:db8:1:2::1", "2001:db8:1:3::1", 2},                  // one /56
        {"2001:db8:1:2::1", "2001:db8:1:102::1", 1},                // one /48
        {"2001:db8:1:2::1", "2001:db8:2:2::1", 0},
        {"::ffff:10.0.0.1", "::ffff:10.0.0.2", 0}, // mapped addresses are not cut to /64
    };
    for (const auto& r : rows) {
        std::size_t na = 0;
        std::size_t nb = 0;
        const auto a = prefixes_of(at(r.a), na);
        const auto b = prefixes_of(at(r.b), nb);
        std::size_t shared = 0;
        for (std::size_t i = 0; i < na; ++i) {
            for (std::size_t j = 0; j < nb; ++j) {
                shared += a[i] == b[j] ? 1 : 0;
            }
        }
        EXPECT_EQ(r.shared, shared) << r.a << " " << r.b;
    }
    std::size_t n = 0;
    EXPECT_EQ("2001:db8:1::/48", prefix_text(prefixes_of(at("2001:db8:1:2::1"), n)[2]));
}

// Each row fills the ledger with held sockets, then asks about one more.
TEST(Admission, Refusals) {
    struct Held {
        Kind kind;
        const char* address; // a printf pattern, numbered 1 to count
        bool silent;
        int count;
    };
    const struct {
        const char* what;
        std::vector<Held> held;
        Kind kind;
        const char* address;
        bool silent;
        const char* refusal;
    } rows[] = {
        // clang-format off
        {"room", {{Kind::game, "192.0.2.1", false, 1}}, Kind::game, "192.0.2.1", true, ""},
        {"an address's share", {{Kind::game, "192.0.2.1", false, 3}}, Kind::game, "192.0.2.1",
         false, "reason=address_limit max_per_address=3"},
        {"silent ones", {{Kind::game, "192.0.2.1", true, 2}}, Kind::game, "192.0.2.1", true,
         "reason=silent_limit max_silent_per_address=2"},
        {"silent ones, and one that spoke", {{Kind::game, "192.0.2.1", true, 2}}, Kind::game,
         "192.0.2.1", false, ""},
        {"pages and closing sockets take no game slot", {{Kind::page, "192.0.2.1", false, 3},
         {Kind::closing, "192.0.2.1", false, 2}}, Kind::game, "192.0.2.1", true, ""},
        {"closing sockets have a share", {{Kind::closing, "192.0.2.1", false, 2}}, Kind::closing,
         "192.0.2.1", false, "reason=closing_limit max_closing_per_address=2"},
        {"a /56 holds twice an address's share", {{Kind::game, "2001:db8:0:%x::1", false, 6}},
         Kind::game, "2001:db8:0:7::1", false,
         "reason=address_limit network=2001:db8::/56 max_per_network=6"},
        {"so does a /48", {{Kind::game, "2001:db8:0:%x00::1", false, 6}}, Kind::game,
         "2001:db8:0:700::1", false, "reason=address_limit network=2001:db8::/48 max_per_network=6"},
        {"another /48 still gets in", {{Kind::game, "2001:db8:0:%x00::1", false, 6}}, Kind::game,
         "2001:db8:1::1", false, ""},
        {"all game slots", {{Kind::game, "192.0.2.%d", false, 8}}, Kind::game, "192.0.2.9", false,
         "reason=connection_limit max_clients=8"},
        // clang-format on
    };
    for (const auto& r : rows) {
        Ledger ledger(Budgets{8, 8, 8}, Shares{3, 2, 4, 2});
        std::vector<Ticket> tickets;
        for (const Held& h : r.held) {
            for (int n = 1; n <= h.count; ++n) {
                char address[64];
                std::snprintf(address, sizeof address, h.address, n);
                tickets.push_back(ledger.admit(h.kind, at(address), h.silent));
            }
        }
        EXPECT_EQ(r.refusal, ledger.refusal(r.kind, at(r.address), r.silent)) << r.what;
        tickets.clear();
        EXPECT_EQ(0u,
                  ledger.held(Kind::game) + ledger.held(Kind::page) + ledger.held(Kind::closing))
            << r.what;
    }
}

TEST(Admission, TicketsGiveBackWhatTheyTook) {
    Ledger ledger(Budgets{4, 4, 4}, Shares{2, 1, 2, 1});
    const auto a = at("192.0.2.1");
    Ticket first = ledger.admit(Kind::game, a, true);
    EXPECT_EQ("reason=silent_limit max_silent_per_address=1", ledger.refusal(Kind::game, a, true));
    first.heard();
    EXPECT_EQ("", ledger.refusal(Kind::game, a, true));
    Ticket second = ledger.admit(Kind::page, a, false);
    // A page connection's upgrade: charged to the player its proxy names, if there is room.
    EXPECT_EQ("", second.change(Kind::game, at("192.0.2.2"), true));
    EXPECT_EQ(0u, ledger.held(Kind::page));
    // A refused change leaves the ticket as it was.
    EXPECT_EQ("reason=closing_limit max_closing_per_address=1",
              (ledger.admit(Kind::closing, a, false), ledger.refusal(Kind::closing, a, false)));
    Ticket closing = ledger.admit(Kind::closing, a, false);
    EXPECT_NE("", first.change(Kind::closing, a, false));
    EXPECT_EQ(2u, ledger.held(Kind::game));
    Ticket moved = std::move(first);
    first.release(); // moved from: gives back nothing
    EXPECT_EQ(2u, ledger.held(Kind::game));
    moved = std::move(second); // moved's own place goes back, second's moves over
    EXPECT_EQ(1u, ledger.held(Kind::game));
    int stopped = 0;
    moved.on_stop([&] { ++stopped; });
    closing.on_stop([&] { ++stopped; });
    ledger.stop_all();
    ledger.stop_all();
    EXPECT_EQ(2, stopped);
}

TEST(Admission, PagesGiveWayToWhoeverHoldsFewer) {
    Ledger ledger(Budgets{8, 4, 8}, Shares{8, 8, 3, 8});
    std::vector<Ticket> held;
    held.reserve(4); // the stops below hold references into it
    std::vector<std::string> closed;
    const char* const holders[] = {"192.0.2.1", "192.0.2.1", "192.0.2.1", "192.0.2.2"};
    for (const char* address : holders) {
        held.push_back(ledger.admit(Kind::page, at(address), false));
        Ticket& ticket = held.back();
        ticket.on_stop([&closed, &ticket, address] {
            closed.push_back(address);
            ticket.release();
        });
    }
    EXPECT_FALSE(ledger.make_page_room(at("192.0.2.1"), true)); // none idle there
    EXPECT_TRUE(ledger.make_page_room(at("192.0.2.3"), false)); // the biggest holder's oldest
    EXPECT_EQ(std::vector<std::string>{"192.0.2.1"}, closed);
    EXPECT_FALSE(held[0].holds());
    EXPECT_FALSE(ledger.make_page_room(at("192.0.2.3"), false) &&
                 ledger.make_page_room(at("192.0.2.2"), false)); // 2 against 1: nobody's fairer
    held[3].set_idle(true);
    EXPECT_TRUE(ledger.make_page_room(at("192.0.2.2"), true)); // an idle one of its own
    EXPECT_EQ("192.0.2.2", closed.back());
}
