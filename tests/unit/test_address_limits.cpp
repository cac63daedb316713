// The limits per source address: which addresses count as one, and when a connection is refused.
#include "server/address_limits.h"

#include <gtest/gtest.h>

TEST(AddressLimits, AddressesThatCountAsOne) {
    const struct {
        const char* a;
        const char* b;
        bool same;
    } rows[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.2", "::ffff:127.0.0.2", true}, // IPv4 through a dual-stack listener
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", true}, // one /64
        {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
        {"::ffff:10.0.0.1", "::ffff:10.0.0.2", false}, // mapped addresses are not cut to /64
        {"::1", "::2", true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.same, AddressLimits::key_of(net::ip::make_address(r.a)) ==
                              AddressLimits::key_of(net::ip::make_address(r.b)))
            << r.a << " " << r.b;
    }
}

TEST(AddressLimits, RefusalsAndReleases) {
    AddressLimits limits(3, 2);
    const auto key = AddressLimits::key_of(net::ip::make_address("192.0.2.1"));
    const auto other = AddressLimits::key_of(net::ip::make_address("192.0.2.2"));
    AddressHold open1(limits, key, true, false);
    AddressHold silent1(limits, key, false, true);
    AddressHold open2(limits, key, true, false);
    AddressHold silent2(limits, key, false, true);
    EXPECT_EQ("reason=silent_limit max_silent_per_address=2", limits.refusal(key, true, true));
    EXPECT_EQ("", limits.refusal(key, true, false)); // a page request: not silent
    EXPECT_EQ("", limits.refusal(other, true, true));
    silent1.release(); // the first one spoke
    EXPECT_EQ("", limits.refusal(key, true, true));
    AddressHold open3 = AddressHold(limits, key, true, false);
    EXPECT_EQ("reason=address_limit max_per_address=3", limits.refusal(key, true, false));
    {
        AddressHold moved = std::move(open3);
        open3.release(); // moved from: holds nothing to give back
        EXPECT_EQ("reason=address_limit max_per_address=3", limits.refusal(key, true, false));
    } // released once, by whoever holds it last
    EXPECT_EQ("", limits.refusal(key, true, false));
    open2 = std::move(open1); // open2's own share goes back, open1's moves over: 1 open
    AddressHold again(limits, key, true, false);
    EXPECT_EQ("", limits.refusal(key, true, false));
    AddressLimits unlimited(0, 0);
    AddressHold many[] = {{unlimited, key, true, true}, {unlimited, key, true, true}};
    EXPECT_EQ("", unlimited.refusal(key, true, true));
}
