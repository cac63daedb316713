#include "server/admission.h"

#include <utility>
#include <vector>

namespace {

const char* const share_names[] = {"per_address", "page_per_address", "closing_per_address"};
const char* const reasons[] = {"address_limit", "page_limit", "closing_limit"};

std::string share_refusal(const char* reason, const char* name, const Prefix& prefix,
                          std::size_t share) {
    const bool wide = prefix.bits == 56 || prefix.bits == 48;
    if (!wide) {
        return std::string("reason=") + reason + " max_" + name + "=" + std::to_string(share);
    }
    // The wider shares say which network they counted, so an operator can tell a household.
    std::string network = name;
    network.replace(network.rfind("address"), 7, "network");
    return std::string("reason=") + reason + " network=" + prefix_text(prefix) + " max_" + network +
           "=" + std::to_string(share * Shares::network_factor);
}

} // namespace

std::string Ledger::refusal(Kind kind, const net::ip::address& address, bool silent,
                            bool shared) const {
    const int k = static_cast<int>(kind);
    const std::size_t budgets[] = {budgets_.game, budgets_.page, budgets_.closing};
    const char* const budget_names[] = {"max_clients", "max_page_connections", "max_closing"};
    if (totals_[k] >= budgets[k]) {
        return std::string(kind == Kind::closing ? "reason=closing_limit "
                                                 : "reason=connection_limit ") +
               budget_names[k] + "=" + std::to_string(budgets[k]);
    }
    if (!shared) {
        return "";
    }
    const std::size_t shares[] = {shares_.game, shares_.page, shares_.closing};
    std::size_t count = 0;
    const auto prefixes = prefixes_of(address, count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto found = counts_.find(prefixes[i]);
        const Counts counts = found == counts_.end() ? Counts{} : found->second;
        const std::size_t factor = i == 0 ? 1 : Shares::network_factor;
        if (shares[k] != 0 && counts.kind[k] >= shares[k] * factor) {
            return share_refusal(reasons[k], share_names[k], prefixes[i], shares[k]);
        }
        if (silent && shares_.silent != 0 && counts.silent >= shares_.silent * factor) {
            return share_refusal("silent_limit", "silent_per_address", prefixes[i], shares_.silent);
        }
    }
    return "";
}

Ticket Ledger::admit(Kind kind, const net::ip::address& address, bool silent, bool shared) {
    const std::uint64_t id = ++next_;
    Entry& entry = entries_[id];
    entry.kind = kind;
    entry.address = address;
    entry.silent = silent && kind == Kind::game;
    entry.shared = shared;
    charge(entry, 1);
    return Ticket(this, id);
}

void Ledger::charge(const Entry& entry, int sign) {
    const int k = static_cast<int>(entry.kind);
    totals_[k] = static_cast<std::size_t>(static_cast<long>(totals_[k]) + sign);
    if (!entry.shared) {
        return;
    }
    std::size_t count = 0;
    const auto prefixes = prefixes_of(entry.address, count);
    for (std::size_t i = 0; i < count; ++i) {
        Counts& counts = counts_[prefixes[i]];
        counts.kind[k] = static_cast<std::size_t>(static_cast<long>(counts.kind[k]) + sign);
        if (entry.silent) {
            counts.silent = static_cast<std::size_t>(static_cast<long>(counts.silent) + sign);
        }
        if (counts.kind == std::array<std::size_t, 3>{} && counts.silent == 0) {
            counts_.erase(prefixes[i]);
        }
    }
}

std::size_t Ledger::held_by(const net::ip::address& address, Kind kind) const {
    std::size_t count = 0;
    const auto found = counts_.find(prefixes_of(address, count)[0]);
    return found == counts_.end() ? 0 : found->second.kind[static_cast<int>(kind)];
}

bool Ledger::make_page_room(const net::ip::address& newcomer, bool for_share) {
    std::size_t count = 0;
    const Prefix own = prefixes_of(newcomer, count)[0];
    // A browser keeps connections it has finished with open for later, and opens a new one when
    // it finds one closed: such a connection is the cheapest to take back.
    std::uint64_t victim = 0;
    for (const auto& [id, entry] : entries_) {
        if (entry.kind == Kind::page && entry.idle && !entry.stopped &&
            (!for_share || prefixes_of(entry.address, count)[0] == own)) {
            victim = id;
            break;
        }
    }
    // Else, in all, the oldest connection of whoever holds the most gives way to one who holds
    // fewer: a few addresses that keep their connections busy cannot keep everyone else out.
    if (victim == 0 && !for_share) {
        std::size_t most = held_by(newcomer, Kind::page) + 1;
        const Prefix* top = nullptr;
        for (const auto& [prefix, counts] : counts_) {
            const bool narrowest = prefix.bits == 32 || prefix.bits == 64;
            if (narrowest && counts.kind[static_cast<int>(Kind::page)] > most) {
                most = counts.kind[static_cast<int>(Kind::page)];
                top = &prefix;
            }
        }
        for (const auto& [id, entry] : entries_) {
            if (top != nullptr && entry.kind == Kind::page && entry.shared && !entry.stopped &&
                prefixes_of(entry.address, count)[0] == *top &&
                (victim == 0 || entry.since < entries_.at(victim).since)) {
                victim = id;
            }
        }
    }
    if (victim == 0) {
        return false;
    }
    stop_entry(victim);
    return true;
}

void Ledger::stop_entry(std::uint64_t id) {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.stopped) {
        return;
    }
    found->second.stopped = true;
    // The call may release the ticket, and with it the entry.
    const std::function<void()> stop = found->second.stop;
    if (stop) {
        stop();
    }
}

void Ledger::stop_all() {
    stopping_ = true;
    std::vector<std::uint64_t> ids;
    for (const auto& entry : entries_) {
        ids.push_back(entry.first);
    }
    for (const std::uint64_t id : ids) {
        stop_entry(id);
    }
}

Ticket& Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        release();
        ledger_ = std::exchange(other.ledger_, nullptr);
        id_ = other.id_;
    }
    return *this;
}

Ledger::Entry* Ticket::entry() const {
    if (ledger_ == nullptr) {
        return nullptr;
    }
    const auto found = ledger_->entries_.find(id_);
    return found == ledger_->entries_.end() ? nullptr : &found->second;
}

void Ticket::release() {
    if (Ledger::Entry* e = entry()) {
        ledger_->charge(*e, -1);
        ledger_->entries_.erase(id_);
    }
    ledger_ = nullptr;
}

std::string Ticket::change(Kind kind, const net::ip::address& address, bool silent, bool shared) {
    Ledger::Entry* e = entry();
    if (e == nullptr) {
        return "reason=released";
    }
    ledger_->charge(*e, -1);
    const std::string why = ledger_->refusal(kind, address, silent, shared);
    if (why.empty()) {
        e->kind = kind;
        e->address = address;
        e->silent = silent && kind == Kind::game;
        e->shared = shared;
        e->idle = false;
        e->since = Ledger::Clock::now();
    }
    ledger_->charge(*e, 1);
    return why;
}

void Ticket::heard() {
    Ledger::Entry* e = entry();
    if (e != nullptr && e->silent) {
        ledger_->charge(*e, -1);
        e->silent = false;
        ledger_->charge(*e, 1);
    }
}

void Ticket::set_idle(bool idle) {
    if (Ledger::Entry* e = entry()) {
        e->idle = idle;
    }
}

void Ticket::on_stop(std::function<void()> stop) {
    if (Ledger::Entry* e = entry()) {
        e->stop = std::move(stop);
        // A ticket that changes hands while the server stops is stopped by its new owner's bound.
    }
}
