#include "server/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t own_descriptors = 32;

std::string limit_text(rlim_t limit) {
    return limit == RLIM_INFINITY ? "unlimited" : std::to_string(limit);
}

} // namespace

std::size_t descriptors_needed(const Options& options) {
    // Only WebSockets linger while they close; the ledger lets as many close as there are game
    // slots, and refused page requests are answered from that budget too.
    const std::size_t web =
        options.web_root.empty() ? 0 : options.max_page_connections + options.max_clients;
    return options.max_clients + web + own_descriptors;
}

std::string make_room_for_descriptors(const Options& options) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return ""; // nothing to compare with: the accept back-off still copes
    }
    const auto need = static_cast<rlim_t>(descriptors_needed(options));
    if (limit.rlim_cur >= need) {
        return "";
    }
    std::string failure;
    if (need <= limit.rlim_max) {
        const rlimit raised{need, limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            return "";
        }
        failure = std::string(" and cannot be raised (") + std::strerror(errno) + ")";
    }
    return "--max-clients " + std::to_string(options.max_clients) +
           (options.web_root.empty() ? "" : " with --web-root") + " needs " + std::to_string(need) +
           " file descriptors; the limit is " + limit_text(limit.rlim_cur) + " (hard " +
           limit_text(limit.rlim_max) + ")" + failure +
           ": lower --max-clients, or raise the limit (ulimit -n; LimitNOFILE= for the service)";
}
