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
    for (int retry = std::min(current.retry, 2); retry >= 1; --retry) {
        const int shortest = retry > 1 ? 2 : 1;
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
