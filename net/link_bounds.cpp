#include "net/link_bounds.h"

#include <algorithm>

int resolver_wait_s(ResolverTiming timing, int servers) {
    int per_try = 0;
    for (int i = 0; i < servers; ++i) {
        int wait = timing.retrans << i;
        if (i > 0) {
            wait /= servers;
        }
        per_try += std::max(wait, 1);
    }
    return per_try * timing.retry;
}

ResolverTiming bounded_resolver_timing(ResolverTiming current, int servers) {
    if (resolver_wait_s(current, servers) <= lookup_deadline_s) {
        return current;
    }
    for (int retry = current.retry; retry >= 1; --retry) {
        const int shortest = retry > 1 ? std::min(current.retrans, 2) : 1;
        for (int retrans = std::min(current.retrans, lookup_deadline_s); retrans >= shortest;
             --retrans) {
            const ResolverTiming timing{retrans, retry};
            if (resolver_wait_s(timing, servers) <= lookup_deadline_s) {
                return timing;
            }
        }
    }
    return ResolverTiming{1, 1};
}

WaitLeft room_wait_left(std::uint32_t stall_began_ms, std::uint32_t wait_began_ms,
                        std::uint32_t now_ms) {
    // Unsigned differences stay right across the clock's wrap.
    const int send_left =
        send_wait_limit_ms -
        static_cast<int>(std::min<std::uint32_t>(now_ms - wait_began_ms, send_wait_limit_ms));
    const int stall_left =
        stall_limit_ms -
        static_cast<int>(std::min<std::uint32_t>(now_ms - stall_began_ms, stall_limit_ms));
    if (stall_left <= send_left) {
        return WaitLeft{stall_left, WaitLimit::stall};
    }
    return WaitLeft{send_left, WaitLimit::send};
}

bool stall_goes_on(std::uint32_t last_wait_ms, std::uint32_t now_ms) {
    return now_ms - last_wait_ms < static_cast<std::uint32_t>(stall_limit_ms);
}
