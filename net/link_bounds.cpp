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

int retry_pause_ms(int tries, double draw) {
    int nominal = retry_first_pause_ms;
    for (int i = 0; i < tries && nominal < retry_longest_pause_ms; ++i) {
        nominal *= 2;
    }
    nominal = std::min(nominal, retry_longest_pause_ms);
    const double kept = 0.5 + 0.5 * std::min(std::max(draw, 0.0), 1.0);
    return static_cast<int>(nominal * kept);
}

bool retry_lost(Retry& retry, bool lasted, std::uint32_t now_ms, double draw) {
    if (!lasted) {
        return retry_failed(retry, now_ms, draw);
    }
    retry = Retry{};
    retry.due_ms = now_ms + static_cast<std::uint32_t>(retry_pause_ms(0, draw));
    retry.logged_ms = now_ms;
    return true;
}

bool connection_held(std::uint32_t up_ms, std::uint32_t now_ms, int held_ms) {
    return now_ms - up_ms >= static_cast<std::uint32_t>(held_ms);
}

bool retry_due(const Retry& retry, std::uint32_t now_ms) {
    // Signed difference: right across the clock's wrap for pauses under 24 days.
    return static_cast<std::int32_t>(now_ms - retry.due_ms) >= 0;
}

bool retry_failed(Retry& retry, std::uint32_t now_ms, double draw) {
    ++retry.tries;
    retry.due_ms = now_ms + static_cast<std::uint32_t>(retry_pause_ms(retry.tries, draw));
    if (now_ms - retry.logged_ms < static_cast<std::uint32_t>(retry_log_interval_ms)) {
        return false;
    }
    retry.logged_ms = now_ms;
    return true;
}
