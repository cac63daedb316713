// The server's stream decoder: every shape of client stream must decode the same whether TCP hands
// it over whole, byte by byte, or cut at any one or two places.
#include "net/stream_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Error = StreamDecoder::Error;
using Event = StreamDecoder::Event;

// Encodes independently of net/wire so a byte-order fault there cannot hide in both directions.
void append_x(Bytes& bytes, std::int32_t x) {
    const auto u = static_cast<std::uint32_t>(x);
    bytes.push_back(static_cast<unsigned char>(u >> 24));
    bytes.push_back(static_cast<unsigned char>(u >> 16));
    bytes.push_back(static_cast<unsigned char>(u >> 8));
    bytes.push_back(static_cast<unsigned char>(u));
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes xs_bytes(std::initializer_list<std::int32_t> xs) {
    Bytes bytes;
    for (std::int32_t x : xs) {
        append_x(bytes, x);
    }
    return bytes;
}

const Bytes exit_word = {'e', 'x', 'i', 't'};
const Bytes goodbye = {'e', 'x', 'i', 't', 0x00};

struct Outcome {
    std::uint64_t updates = 0;
    std::int32_t last_x = 0;
    bool goodbye = false;
    Error error = Error::none;
    std::size_t partial = 0;
    std::uint64_t ignored = 0;
    int goodbye_events = 0;    // from feed() only: the goodbye must not wait for finish()
    int feed_error_events = 0; // exit followed by a non-zero byte
    Event finish_event = Event::none;

    bool operator==(const Outcome& o) const {
        return updates == o.updates && last_x == o.last_x && goodbye == o.goodbye &&
               error == o.error && partial == o.partial && ignored == o.ignored &&
               goodbye_events == o.goodbye_events && feed_error_events == o.feed_error_events &&
               finish_event == o.finish_event;
    }
};

void PrintTo(const Outcome& o, std::ostream* out) {
    *out << "{updates=" << o.updates << " last_x=" << o.last_x << " goodbye=" << o.goodbye
         << " error=" << error_name(o.error) << " partial=" << o.partial << " ignored=" << o.ignored
         << " goodbye_events=" << o.goodbye_events << " feed_error_events=" << o.feed_error_events
         << " finish_error=" << (o.finish_event == Event::protocol_error) << "}";
}

// Feeds bytes in chunks ending at each cut (cuts ascending), with an empty feed between chunks,
// then ends the stream.
Outcome decode(const Bytes& bytes, const std::vector<std::size_t>& cuts) {
    StreamDecoder decoder;
    Outcome out;
    std::size_t start = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (std::size_t end : ends) {
        const Event event = decoder.feed(bytes.data() + start, end - start);
        out.goodbye_events += event == Event::goodbye;
        out.feed_error_events += event == Event::protocol_error;
        decoder.feed(nullptr, 0);
        start = end;
    }
    out.finish_event = decoder.finish();
    out.updates = decoder.updates_received();
    out.last_x = decoder.last_x();
    out.goodbye = decoder.goodbye_seen();
    out.error = decoder.error();
    out.partial = decoder.partial_bytes();
    out.ignored = decoder.ignored_bytes();
    return out;
}

struct StreamCase {
    const char* name;
    Bytes bytes;
    std::vector<std::int32_t> xs; // every update, in order
    bool goodbye;
    Error error;
    std::size_t partial;
    std::uint64_t ignored;

    Outcome expected() const {
        Outcome o;
        o.updates = xs.size();
        o.last_x = xs.empty() ? 0 : xs.back();
        o.goodbye = goodbye;
        o.error = error;
        o.partial = partial;
        o.ignored = ignored;
        o.goodbye_events = goodbye ? 1 : 0;
        o.feed_error_events = error == Error::exit_not_followed_by_zero ? 1 : 0;
        o.finish_event = error == Error::exit_truncated ? Event::protocol_error : Event::none;
        return o;
    }
};

const std::vector<StreamCase>& stream_cases() {
    static const std::vector<StreamCase> cases = {
        {"empty", {}, {}, false, Error::none, 0, 0},
        {"one update, literal bytes", {0x00, 0x00, 0x01, 0x92}, {402}, false, Error::none, 0, 0},
        {"several updates, literal bytes",
         {0, 0, 0, 0, 0, 0, 0, 1, 0x00, 0x00, 0x0B, 0xB8, 0x01, 0x02, 0x03, 0x04},
         {0, 1, 3000, 16909060},
         false,
         Error::none,
         0,
         0},
        {"updates then goodbye",
         cat({xs_bytes({400, 401, 402}), goodbye}),
         {400, 401, 402},
         true,
         Error::none,
         0,
         0},
        {"goodbye alone", goodbye, {}, true, Error::none, 0, 0},
        {"exit without its zero, then end", exit_word, {}, false, Error::exit_truncated, 4, 0},
        {"updates, exit without its zero, then end",
         cat({xs_bytes({7}), exit_word}),
         {7},
         false,
         Error::exit_truncated,
         4,
         0},
        {"exit then a non-zero byte and more",
         cat({exit_word, {0x01}, xs_bytes({5})}),
         {},
         false,
         Error::exit_not_followed_by_zero,
         4,
         5},
        {"updates, exit, then another e",
         cat({xs_bytes({10}), exit_word, {'e'}}),
         {10},
         false,
         Error::exit_not_followed_by_zero,
         4,
         1},
        {"garbage of 1 byte", {0xAB}, {}, false, Error::none, 1, 0},
        {"garbage of 3 bytes", {0xAB, 0xCD, 0xEF}, {}, false, Error::none, 3, 0},
        {"garbage of 7 bytes", {1, 2, 3, 4, 5, 6, 7}, {16909060}, false, Error::none, 3, 0},
        {"a lone zero byte after an update",
         cat({xs_bytes({1}), {0x00}}),
         {1},
         false,
         Error::none,
         1,
         0},
        {"exi then end is only a partial frame", {'e', 'x', 'i'}, {}, false, Error::none, 3, 0},
        {"exit off the 4-byte boundary is update data",
         cat({{0x00, 0x00}, goodbye}),
         {25976},
         false,
         Error::none,
         3,
         0},
        {"frames that are nearly exit are updates",
         cat({{'e', 'x', 'i', 's'}, {'E', 'X', 'I', 'T'}, {'t', 'i', 'x', 'e'}}),
         {1702390131, 1163413844, 1953069157},
         false,
         Error::none,
         0,
         0},
        {"bytes after the goodbye are counted, not decoded",
         cat({xs_bytes({5}), goodbye, goodbye, {1, 2, 3}}),
         {5},
         true,
         Error::none,
         0,
         8},
        {"exit and a bad byte after the goodbye are no error",
         cat({goodbye, exit_word, {'X'}}),
         {},
         true,
         Error::none,
         0,
         5},
        {"negative x and the int32 extremes",
         cat({{0xFF, 0xFF, 0xFF, 0xFF},
              {0x80, 0x00, 0x00, 0x00},
              {0x7F, 0xFF, 0xFF, 0xFF},
              {0xFF, 0xFF, 0xFF, 0x85},
              goodbye}),
         {-1, INT32_MIN, INT32_MAX, -123},
         true,
         Error::none,
         0,
         0},
        {"updates ending in a partial frame then a dropped connection",
         cat({xs_bytes({-400, 0, 400}), {0x00, 0x00}}),
         {-400, 0, 400},
         false,
         Error::none,
         2,
         0},
    };
    return cases;
}

TEST(StreamDecoder, WholeStreamTable) {
    for (const StreamCase& c : stream_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected(), decode(c.bytes, {}));
    }
}

// Byte by byte is the one feeding that shows every decoded x, not only the last.
TEST(StreamDecoder, ByteByByteTable) {
    for (const StreamCase& c : stream_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::size_t> cuts;
        for (std::size_t i = 1; i < c.bytes.size(); ++i) {
            cuts.push_back(i);
        }
        EXPECT_EQ(c.expected(), decode(c.bytes, cuts));

        StreamDecoder decoder;
        std::vector<std::int32_t> seen;
        for (unsigned char byte : c.bytes) {
            const std::uint64_t before = decoder.updates_received();
            decoder.feed(&byte, 1);
            ASSERT_LE(decoder.updates_received(), before + 1);
            if (decoder.updates_received() == before + 1) {
                seen.push_back(decoder.last_x());
            }
            ASSERT_LE(decoder.partial_bytes(), 4u);
        }
        EXPECT_EQ(c.xs, seen);
    }
}

TEST(StreamDecoder, EverySplitPointTable) {
    for (const StreamCase& c : stream_cases()) {
        for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << c.name << ", cut at " << cut);
            EXPECT_EQ(c.expected(), decode(c.bytes, {cut}));
        }
    }
}

TEST(StreamDecoder, EveryPairOfSplitPointsTable) {
    for (const StreamCase& c : stream_cases()) {
        for (std::size_t a = 0; a <= c.bytes.size(); ++a) {
            for (std::size_t b = a; b <= c.bytes.size(); ++b) {
                SCOPED_TRACE(testing::Message() << c.name << ", cuts at " << a << " and " << b);
                EXPECT_EQ(c.expected(), decode(c.bytes, {a, b}));
            }
        }
    }
}

// A flood the size the server reads in, cut at sizes that never line up with frames.
TEST(StreamDecoder, LongStreamInUnevenChunks) {
    Bytes bytes;
    const int count = 50000;
    for (int i = 0; i < count; ++i) {
        append_x(bytes, i * 7919 - 20000000);
    }
    bytes.insert(bytes.end(), goodbye.begin(), goodbye.end());
    bytes.push_back(0x42);

    std::vector<std::size_t> cuts;
    std::uint32_t seed = 12345;
    for (std::size_t at = 0;;) {
        seed = seed * 1103515245u + 12345u;
        at += 1 + (seed >> 16) % 4099;
        if (at >= bytes.size()) {
            break;
        }
        cuts.push_back(at);
    }
    ASSERT_GT(cuts.size(), 40u);

    Outcome expected;
    expected.updates = count;
    expected.last_x = (count - 1) * 7919 - 20000000;
    expected.goodbye = true;
    expected.ignored = 1;
    expected.goodbye_events = 1;
    EXPECT_EQ(expected, decode(bytes, cuts));
}

} // namespace
