// The listening side: accepts game connections on the TCP port and, with a web root, page
// requests and WebSockets on the web port, asking the admission ledger about each socket; keeps
// the counts the sessions report, ends everything on SIGINT or SIGTERM and prints the summary.
// Single-threaded on one io_context, so sessions share no state that needs locking. No session
// sees the Server: they know the ledger, the Reporter and their settings.
#pragma once

#include "server/admission.h"
#include "server/delay_histogram.h"
#include "server/http_session.h"
#include "server/net.h"
#include "server/options.h"
#include "server/refusal_log.h"
#include "server/reporting.h"
#include "server/trust.h"
#include "server/web_files.h"

#include <cstdint>
#include <string>

// The ledger's budgets and shares for options.
Budgets budgets_of(const Options& options);
Shares shares_of(const Options& options);

// Made by main, lives until io.run() returns.
class Server final : public Reporter {
  public:
    // files: the page (empty without --web-root).
    Server(net::io_context& io, const Options& options, WebFiles files);

    // Returns an empty string when listening, else why not.
    std::string start();

    std::uint64_t joined(const std::string& peer, const char* kind) override;
    void goodbye() override { ++goodbyes_; }
    void ended(std::uint64_t updates, bool said_goodbye) override;
    void delay(std::uint32_t us) override { delays_.add(us); }
    void refused(const net::ip::address& who, const std::string& peer, const std::string& why,
                 const char* kind) override {
        refusals_.refuse(who, peer, why, kind);
    }

  private:
    void accept();
    void accept_web();
    void admit_game(tcp::socket socket, const tcp::endpoint& peer);
    void admit_page(tcp::socket socket, const tcp::endpoint& peer);
    void stop();
    // Retries an accept after EMFILE and its kin.
    void retry_accept(tcp::acceptor& acceptor, const error_code& ec, void (Server::*again)());

    Options options_;
    WebFiles files_;
    Trust trust_;
    GameSettings game_;
    Ledger ledger_;
    WebContext web_;
    tcp::acceptor acceptor_;
    tcp::endpoint peer_;
    tcp::acceptor web_acceptor_;
    tcp::endpoint web_peer_;
    net::steady_timer retry_timer_;
    net::steady_timer web_retry_timer_;
    net::signal_set signals_;
    RefusalLog refusals_;
    bool stopping_ = false;
    std::uint64_t clients_ = 0;
    std::uint64_t updates_ = 0;
    std::uint64_t goodbyes_ = 0;
    std::uint64_t dropped_ = 0;
    DelayHistogram delays_;
};
