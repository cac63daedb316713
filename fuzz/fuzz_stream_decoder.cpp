// libFuzzer target for the server's stream decoder: any byte stream, fed whole and again in
// chunks cut at places taken from its first bytes, must decode to the same result, agree with a
// plain reference reading of the framing rules, and account for every byte it was given.
#include "net/stream_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Event = StreamDecoder::Event;
using Error = StreamDecoder::Error;

struct Outcome {
    std::uint64_t updates = 0;
    std::int32_t last_x = 0;
    bool goodbye = false;
    Error error = Error::none;
    std::size_t partial = 0;
    std::uint64_t ignored = 0;
    int goodbye_events = 0;
    int error_events = 0;

    bool operator==(const Outcome& o) const {
        return updates == o.updates && last_x == o.last_x && goodbye == o.goodbye &&
               error == o.error && partial == o.partial && ignored == o.ignored &&
               goodbye_events == o.goodbye_events && error_events == o.error_events;
    }
};

void check(bool ok) {
    if (!ok) {
        std::abort(); // libFuzzer saves the input as a crash
    }
}

Outcome decode(const std::uint8_t* data, std::size_t size, const std::vector<std::size_t>& ends) {
    StreamDecoder decoder;
    Outcome out;
    std::size_t start = 0;
    for (std::size_t end : ends) {
        const std::uint64_t updates_before = decoder.updates_received();
        const bool done_before = decoder.done();
        const Event event = decoder.feed(data + start, end - start);
        out.goodbye_events += event == Event::goodbye;
        out.error_events += event == Event::protocol_error;
        // A finished decoder stays finished and decodes nothing more.
        check(!done_before ||
              (event == Event::none && decoder.updates_received() == updates_before));
        check(decoder.updates_received() - updates_before <= (end - start) / 4 + 1);
        check(decoder.partial_bytes() <= 4);
        start = end;
    }
    const Event last = decoder.finish();
    out.error_events += last == Event::protocol_error;
    check(last != Event::goodbye);
    out.updates = decoder.updates_received();
    out.last_x = decoder.last_x();
    out.goodbye = decoder.goodbye_seen();
    out.error = decoder.error();
    out.partial = decoder.partial_bytes();
    out.ignored = decoder.ignored_bytes();

    // Every byte is an update's, the goodbye's, part of the unfinished frame, or ignored.
    check(out.updates * 4 + out.partial + out.ignored + (out.goodbye ? 5 : 0) == size);
    check(decoder.done() == (out.goodbye || out.error != Error::none));
    check(!(out.goodbye && out.error != Error::none));
    check(out.goodbye_events == (out.goodbye ? 1 : 0));
    check(out.error_events == (out.error != Error::none ? 1 : 0));
    check(out.ignored == 0 || decoder.done());
    return out;
}

// The framing rules read straight off the whole buffer, with no chunking state to get wrong.
Outcome reference(const std::uint8_t* data, std::size_t size) {
    Outcome out;
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        if (std::memcmp(data + i, "exit", 4) == 0) {
            out.partial = 4;
            if (i + 4 == size) {
                out.error = Error::exit_truncated;
                out.error_events = 1;
            } else if (data[i + 4] == 0) {
                out.goodbye = true;
                out.goodbye_events = 1;
                out.partial = 0;
                out.ignored = size - i - 5;
            } else {
                out.error = Error::exit_not_followed_by_zero;
                out.error_events = 1;
                out.ignored = size - i - 4;
            }
            return out;
        }
        const std::uint32_t u = std::uint32_t{data[i]} << 24 | std::uint32_t{data[i + 1]} << 16 |
                                std::uint32_t{data[i + 2]} << 8 | std::uint32_t{data[i + 3]};
        std::int32_t x;
        std::memcpy(&x, &u, sizeof x); // two's complement bit pattern, as the wire means it
        out.last_x = x;
        ++out.updates;
    }
    out.partial = size - i;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Outcome whole = decode(data, size, {size});
    check(whole == reference(data, size));

    // Cut points from the first bytes: each gives the length of the next chunk, 0 included, so
    // empty feeds and cuts inside "exit" and its zero are reached.
    std::vector<std::size_t> ends;
    std::size_t at = 0;
    for (std::size_t k = 0; k < size && k < 16 && at < size; ++k) {
        at += std::min<std::size_t>(data[k] % 11, size - at);
        ends.push_back(at);
    }
    ends.push_back(size);
    check(whole == decode(data, size, ends));

    std::vector<std::size_t> every_byte;
    for (std::size_t end = 1; end <= size && size <= 512; ++end) {
        every_byte.push_back(end);
    }
    if (!every_byte.empty()) {
        check(whole == decode(data, size, every_byte));
    }
    return 0;
}
