// Big-endian encoding of position updates.
#include "net/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>

TEST(Wire, Uint32BigEndianTable) {
    const struct {
        std::int32_t x;
        std::array<unsigned char, 4> bytes;
    } rows[] = {
        {0, {0x00, 0x00, 0x00, 0x00}},       {400, {0x00, 0x00, 0x01, 0x90}},
        {402, {0x00, 0x00, 0x01, 0x92}},     {1248, {0x00, 0x00, 0x04, 0xE0}},
        {-1, {0xFF, 0xFF, 0xFF, 0xFF}},      {INT_MAX, {0x7F, 0xFF, 0xFF, 0xFF}},
        {INT_MIN, {0x80, 0x00, 0x00, 0x00}}, {0x01020304, {0x01, 0x02, 0x03, 0x04}},
    };
    for (const auto& r : rows) {
        std::array<unsigned char, 4> out{};
        write_uint32_be(static_cast<std::uint32_t>(r.x), out.data());
        EXPECT_EQ(r.bytes, out) << r.x;
        EXPECT_EQ(static_cast<std::uint32_t>(r.x), read_uint32_be(r.bytes.data())) << r.x;
    }
}
