#include "server/refusal_log.h"

#include "server/event_log.h"

#include <chrono>

namespace {
constexpr std::chrono::seconds window_length{1};
}

void RefusalLog::refuse(const net::ip::address& who, const std::string& peer,
                        const std::string& why, const char* kind) {
    ++total_;
    std::size_t count = 0;
    const Prefix prefix = prefixes_of(who, count)[0];
    const auto found = windows_.find(prefix);
    if (found != windows_.end()) {
        ++found->second.more;
        found->second.last = why + kind;
        return;
    }
    log_line("refused " + peer + " " + why + kind);
    if (!stopped_) {
        windows_[prefix] = Window{net::steady_timer::clock_type::now(), 0, ""};
        arm();
    }
}

void RefusalLog::arm() {
    if (armed_) {
        return;
    }
    armed_ = true;
    timer_.expires_after(window_length);
    timer_.async_wait([this](const error_code& ec) {
        armed_ = false;
        if (!ec && !stopped_) {
            close_windows(false);
            if (!windows_.empty()) {
                arm();
            }
        }
    });
}

void RefusalLog::close_windows(bool all) {
    const auto now = net::steady_timer::clock_type::now();
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (!all && now < it->second.start + window_length) {
            ++it;
            continue;
        }
        if (it->second.more > 0) {
            log_line("refused " + prefix_text(it->first) +
                     " repeated=" + std::to_string(it->second.more) + " " + it->second.last);
        }
        it = windows_.erase(it);
    }
}

void RefusalLog::flush() {
    stopped_ = true;
    timer_.cancel();
    close_windows(true);
}
