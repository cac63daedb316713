// The refusal lines, at most one a second per address (an IPv4 address, an IPv6 /64): a flood of
// refused connections would otherwise flood the journal, which then drops the lines an operator
// needs. The first refusal of a second is printed whole, the rest counted and summed up in one
// line when that second is over; the total stays exact for the summary's refused=.
#pragma once

#include "server/admission.h"
#include "server/net.h"

#include <cstdint>
#include <map>
#include <string>

class RefusalLog {
  public:
    explicit RefusalLog(const net::any_io_executor& executor) : timer_(executor) {}

    // "refused PEER WHY KIND", or counted toward "refused ADDRESS repeated=N WHY KIND" (the last
    // refusal's reason) when who was refused within the last second already.
    void refuse(const net::ip::address& who, const std::string& peer, const std::string& why,
                const char* kind);
    // Prints what is still counted and lets the loop end: the server is stopping.
    void flush();
    std::uint64_t total() const { return total_; }

  private:
    struct Window {
        net::steady_timer::time_point start;
        std::uint64_t more = 0;
        std::string last; // the last refusal's "WHY KIND"
    };
    void arm();
    void close_windows(bool all);

    std::map<Prefix, Window> windows_;
    net::steady_timer timer_;
    bool armed_ = false;
    bool stopped_ = false;
    std::uint64_t total_ = 0;
};
