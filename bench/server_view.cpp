#include "bench/server_view.h"

#include <cstdio>

ServerView ServerView::parse(const std::vector<std::string>& lines) {
    ServerView view;
    std::map<unsigned long long, unsigned> port_of;
    for (const auto& line : lines) {
        unsigned long long id = 0;
        unsigned port = 0;
        unsigned long long updates = 0;
        long long last_x = 0;
        if (std::sscanf(line.c_str(), "joined #%llu 127.0.0.1:%u", &id, &port) == 2) {
            port_of[id] = port;
        } else if (std::sscanf(line.c_str(), "goodbye #%llu updates=%llu last_x=%lld", &id,
                               &updates, &last_x) == 3) {
            view.by_port[port_of[id]] = Ended{true, updates, last_x};
        } else if (line.rfind("latency:", 0) == 0) {
            view.latency = line;
        } else if (line.rfind("stopped:", 0) == 0) {
            view.stopped = line;
        } else if (line.rfind("accept_error", 0) == 0) {
            ++view.accept_errors;
        } else if (line.rfind("refused", 0) == 0) {
            ++view.refused;
        }
    }
    return view;
}

Compare compare(const std::vector<Peer*>& peers, const ServerView& view,
                const std::function<long long(const Peer&)>& expected_last_x) {
    Compare result;
    for (const Peer* peer : peers) {
        result.sent += peer->sent;
        result.unflushed_bytes += peer->pending.size();
        const auto found = view.by_port.find(peer->local_port);
        if (!peer->connected || found == view.by_port.end()) {
            ++result.missing_goodbyes;
            continue;
        }
        result.received += found->second.updates;
        if (found->second.updates != peer->sent) {
            ++result.short_clients;
        }
        if (expected_last_x && found->second.last_x != expected_last_x(*peer)) {
            ++result.wrong_last_x;
        }
    }
    return result;
}
