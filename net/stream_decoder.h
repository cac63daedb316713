// Decodes the byte stream a Brackenreach client sends to the game server: 4-byte big-endian x
// updates, then the goodbye "exit" with its zero byte. Pure and SDL-free, so the server and the
// tests share one reading of the framing rules; TCP may cut the stream anywhere, so bytes can
// arrive in chunks of any size.
//
// The "exit" rule. The goodbye has no marker of its own, and the bytes 65 78 69 74 ("exit")
// could also be read as x = 1702390132, which is far outside any map. So a frame that equals
// "exit" at a 4-byte boundary is never an update: it starts the goodbye, and the decoder waits
// for one more byte.
//   - 0x00 completes the goodbye (Event::goodbye).
//   - Any other byte is a protocol error, Error::exit_not_followed_by_zero; that byte counts as
//     ignored.
//   - If the stream ends while the decoder is waiting (finish() is called), that is a protocol
//     error too, Error::exit_truncated.
// In both error cases partial_bytes() stays 4: the unfinished goodbye. "exit" that does not start
// at a 4-byte boundary is just update data. After a goodbye or a protocol error the decoder is
// done: it decodes nothing more and only counts further bytes in ignored_bytes().
#pragma once

#include <cstddef>
#include <cstdint>

class StreamDecoder {
  public:
    // What a feed() or finish() call ended the stream with; both are final, so one call reports
    // at most one of them.
    enum class Event { none, goodbye, protocol_error };
    enum class Error { none, exit_not_followed_by_zero, exit_truncated };

    Event feed(const unsigned char* data, std::size_t size);
    // Call once when the stream has ended (the peer closed it) to judge a pending "exit".
    Event finish();

    std::uint64_t updates_received() const { return updates_received_; }
    // 0 until the first update.
    std::int32_t last_x() const { return last_x_; }
    bool goodbye_seen() const { return state_ == State::goodbye; }
    Error error() const { return error_; }
    // Bytes of an unfinished frame, 0..4: 4 only while the decoder holds "exit" (or if it held it
    // when a protocol error ended the stream).
    std::size_t partial_bytes() const { return frame_size_; }
    // Bytes that came after a goodbye or a protocol error and were not decoded.
    std::uint64_t ignored_bytes() const { return ignored_bytes_; }
    bool done() const { return state_ == State::goodbye || state_ == State::failed; }

  private:
    enum class State { frames, exit_pending, goodbye, failed };

    State state_ = State::frames;
    Error error_ = Error::none;
    unsigned char frame_[4] = {0, 0, 0, 0};
    std::size_t frame_size_ = 0;
    std::uint64_t updates_received_ = 0;
    std::int32_t last_x_ = 0;
    std::uint64_t ignored_bytes_ = 0;
};

// Stable lower_case name for log lines and test messages, e.g. "exit_truncated".
const char* error_name(StreamDecoder::Error error);
