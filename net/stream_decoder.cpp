#include "net/stream_decoder.h"

#include "net/wire.h"

namespace {

bool is_exit(const unsigned char* frame) {
    return frame[0] == 'e' && frame[1] == 'x' && frame[2] == 'i' && frame[3] == 't';
}

// A plain static_cast of a value above INT32_MAX is implementation-defined before C++20; this
// maps 0x80000000..0xFFFFFFFF to the negative range on any compiler.
std::int32_t to_signed(std::uint32_t value) {
    if (value <= 0x7FFFFFFFu) {
        return static_cast<std::int32_t>(value);
    }
    return static_cast<std::int32_t>(value - 0x80000000u) - 0x7FFFFFFF - 1;
}

} // namespace

StreamDecoder::Event StreamDecoder::feed(const unsigned char* data, std::size_t size) {
    if (done()) {
        ignored_bytes_ += size;
        return Event::none;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = data[i];
        if (state_ == State::exit_pending) {
            if (byte == 0) {
                // The rest of this chunk already lies after the goodbye.
                state_ = State::goodbye;
                frame_size_ = 0;
                ignored_bytes_ += size - i - 1;
                return Event::goodbye;
            }
            state_ = State::failed;
            error_ = Error::exit_not_followed_by_zero;
            ignored_bytes_ += size - i;
            return Event::protocol_error;
        }
        frame_[frame_size_++] = byte;
        if (frame_size_ < 4) {
            continue;
        }
        if (is_exit(frame_)) {
            // frame_size_ stays 4 so a connection dropped here reports the unfinished goodbye.
            state_ = State::exit_pending;
            continue;
        }
        last_x_ = to_signed(read_uint32_be(frame_));
        ++updates_received_;
        frame_size_ = 0;
    }
    return Event::none;
}

StreamDecoder::Event StreamDecoder::finish() {
    if (state_ != State::exit_pending) {
        return Event::none;
    }
    state_ = State::failed;
    error_ = Error::exit_truncated;
    return Event::protocol_error;
}

const char* error_name(StreamDecoder::Error error) {
    switch (error) {
    case StreamDecoder::Error::none:
        return "none";
    case StreamDecoder::Error::exit_not_followed_by_zero:
        return "exit_not_followed_by_zero";
    case StreamDecoder::Error::exit_truncated:
        return "exit_truncated";
    }
    return "unknown";
}
