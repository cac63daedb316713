#include "server/address_limits.h"

#include <utility>

AddressLimits::Key AddressLimits::key_of(const net::ip::address& address) {
    if (address.is_v4()) {
        return net::ip::make_address_v6(net::ip::v4_mapped, address.to_v4()).to_bytes();
    }
    Key key = address.to_v6().to_bytes();
    if (!address.to_v6().is_v4_mapped()) {
        for (std::size_t i = 8; i < key.size(); ++i) {
            key[i] = 0;
        }
    }
    return key;
}

std::string AddressLimits::refusal(const Key& key, bool open, bool silent) const {
    const auto found = counts_.find(key);
    const Counts counts = found == counts_.end() ? Counts{} : found->second;
    if (open && max_open_ != 0 && counts.open >= max_open_) {
        return "reason=address_limit max_per_address=" + std::to_string(max_open_);
    }
    if (silent && max_silent_ != 0 && counts.silent >= max_silent_) {
        return "reason=silent_limit max_silent_per_address=" + std::to_string(max_silent_);
    }
    return "";
}

void AddressLimits::change(const Key& key, int open, int silent) {
    Counts& counts = counts_[key];
    counts.open = static_cast<std::size_t>(static_cast<long>(counts.open) + open);
    counts.silent = static_cast<std::size_t>(static_cast<long>(counts.silent) + silent);
    if (counts.open == 0 && counts.silent == 0) {
        counts_.erase(key);
    }
}

AddressHold::AddressHold(AddressLimits& limits, const AddressLimits::Key& key, bool open,
                         bool silent)
    : limits_(&limits), key_(key), open_(open), silent_(silent) {
    limits_->change(key_, open_ ? 1 : 0, silent_ ? 1 : 0);
}

AddressHold& AddressHold::operator=(AddressHold&& other) noexcept {
    if (this != &other) {
        release();
        limits_ = std::exchange(other.limits_, nullptr);
        key_ = other.key_;
        open_ = other.open_;
        silent_ = other.silent_;
    }
    return *this;
}

void AddressHold::release() {
    if (limits_ != nullptr) {
        limits_->change(key_, open_ ? -1 : 0, silent_ ? -1 : 0);
        limits_ = nullptr;
    }
}
