#include "server/websocket_upgrade.h"

#include "server/connection.h"
#include "server/event_log.h"
#include "server/websocket.h"

#include <algorithm>
#include <string_view>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

using Request = http::request<http::empty_body>;

// The browser game sends 4 or 5 bytes a message; anything near this is not our client.
constexpr std::size_t message_limit = 64 * 1024;

// Whether a comma-separated header value lists token.
bool lists(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
            item.remove_prefix(1);
        }
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
            item.remove_suffix(1);
        }
        if (item == token) {
            return true;
        }
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    return false;
}

// The last item of a comma-separated header that a proxy appends to (the items before it came
// from the client and prove nothing), trimmed; empty when there is none.
std::string last_item(const Request& request, const char* name) {
    std::string_view last;
    const auto fields = request.equal_range(name);
    for (auto field = fields.first; field != fields.second; ++field) {
        last = std::string_view(field->value().data(), field->value().size());
    }
    const std::size_t comma = last.rfind(',');
    std::string text(comma == std::string_view::npos ? last : last.substr(comma + 1));
    text.erase(0, text.find_first_not_of(" \t"));
    text.erase(text.find_last_not_of(" \t") + 1);
    return text;
}

// A header's value fit for a log line: at most 100 bytes, each space, control or non-ASCII byte
// as '?', so that what a client sends cannot pass for another field or line.
std::string printable(beast::string_view value) {
    std::string text(value.data(), std::min<std::size_t>(value.size(), 100));
    for (char& c : text) {
        if (c <= ' ' || c > '~') {
            c = '?';
        }
    }
    return text;
}

// 16 bytes in base64: 22 characters of its alphabet and "==" (RFC 6455, 4.2.1).
bool sixteen_bytes(beast::string_view key) {
    const auto base64 = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    };
    return key.size() == 24 && key.substr(22) == "==" &&
           std::all_of(key.begin(), key.begin() + 22, base64);
}

// The handshake in flight: the socket and its place in the ledger, until it joins or closes.
struct Handshake {
    WebSocket ws;
    Ticket ticket;
    UpgradeFrom from;
};

} // namespace

http::status check_upgrade(const WebContext& context, const Request& request,
                           const tcp::endpoint& peer, UpgradeFrom& from) {
    from.player = peer.address();
    from.peer = endpoint_text(peer);
    std::string scheme = "http";
    if (context.trust.proxy(peer.address())) {
        error_code ec;
        const std::string forwarded = last_item(request, "X-Forwarded-For");
        const auto player = net::ip::make_address(forwarded, ec);
        if (!forwarded.empty() && !ec) {
            from.player = player;
            from.peer = player.to_string() + " via " + from.peer;
        }
        if (last_item(request, "X-Forwarded-Proto") == "https") {
            scheme = "https"; // the page came over TLS to the proxy
        }
    }
    const auto key = request.find(http::field::sec_websocket_key);
    if (key != request.end() && !sixteen_bytes(key->value())) {
        return http::status::bad_request;
    }
    // Without this check any site could have its visitors' browsers join as players. Programs
    // other than browsers send no Origin, and are not asked for one.
    const auto origin = request.find(http::field::origin);
    const auto host = request[http::field::host];
    if (origin != request.end() &&
        !context.trust.allowed_origin(
            std::string_view(origin->value().data(), origin->value().size()),
            scheme + "://" + std::string(host.data(), host.size()))) {
        context.reporter.refused(from.player, from.peer,
                                 "reason=origin origin=" + printable(origin->value()),
                                 " websocket");
        return http::status::forbidden;
    }
    return http::status::ok;
}

void start_handshake(const WebContext& context, tcp::socket socket, Ticket ticket, Request request,
                     net::const_buffer behind, UpgradeFrom from) {
    auto handshake = std::make_shared<Handshake>(
        Handshake{WebSocket(std::move(socket)), std::move(ticket), std::move(from)});
    WebSocket& ws = handshake->ws;
    handshake->ticket.on_stop([weak = std::weak_ptr<Handshake>(handshake)] {
        error_code ignored;
        if (const auto held = weak.lock()) {
            beast::get_lowest_layer(held->ws).close(ignored);
        }
    });
    // What the client sent right behind its request (updates, even its goodbye) is its stream's
    // beginning, as a TCP client's first bytes are.
    auto& buffered = ws.next_layer().buffer();
    buffered.commit(net::buffer_copy(buffered.prepare(behind.size()), behind));
    // The opening handshake is only our answer, and the closing one waits for the peer's close
    // frame: a second bounds both, and so how long a closing socket (and a stop) can linger.
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.handshake_timeout = std::chrono::seconds(1);
    ws.set_option(timeouts);
    ws.read_message_max(message_limit);
    const auto protocols = request[http::field::sec_websocket_protocol];
    const bool binary = lists(std::string_view(protocols.data(), protocols.size()), "binary");
    // Emscripten's sockets ask for "binary", and Chromium fails the connection unless the answer
    // names it; a client that asked for nothing must get nothing. Beast names itself and its
    // version as the Server unless one is set: that only tells an attacker what to look up.
    ws.set_option(websocket::stream_base::decorator([binary](http::response_header<>& r) {
        r.set(http::field::server, "brackenreach");
        if (binary) {
            r.set(http::field::sec_websocket_protocol, "binary");
        }
    }));
    ws.async_accept(request, [&context, handshake](const error_code& ec) {
        if (ec || context.ledger.stopping()) {
            error_code ignored;
            beast::get_lowest_layer(handshake->ws).close(ignored);
            return;
        }
        const UpgradeFrom& who = handshake->from;
        const std::string why = handshake->ticket.change(Kind::game, who.player, true);
        if (why.empty()) {
            join_game(context.reporter, context.game, std::move(handshake->ws),
                      std::move(handshake->ticket), Player{who.player, who.peer, false});
            return;
        }
        context.reporter.refused(who.player, who.peer, why, " websocket");
        close_websocket(std::shared_ptr<WebSocket>(handshake, &handshake->ws), handshake->ticket,
                        who.player, websocket::close_code::try_again_later, refusal_close_bound);
    });
}
