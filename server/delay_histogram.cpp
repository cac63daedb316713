#include "server/delay_histogram.h"

#include <algorithm>

void DelayHistogram::add(std::uint32_t us) {
    ++counts_[bucket(us)];
    ++samples_;
    max_ = std::max(max_, us);
}

std::uint32_t DelayHistogram::quantile(double q) const {
    if (samples_ == 0) {
        return 0;
    }
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(samples_) + 0.999999);
    rank = std::max<std::uint64_t>(rank, 1);
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < counts_.size(); ++b) {
        seen += counts_[b];
        if (seen >= rank) {
            return static_cast<std::uint32_t>(std::min<std::uint64_t>(lower(b + 1) - 1, max_));
        }
    }
    return max_;
}

std::size_t DelayHistogram::bucket(std::uint32_t v) {
    if (v < linear) {
        return v;
    }
    const int top = 31 - __builtin_clz(v);
    return linear + static_cast<std::size_t>(top - (sub_bits + 1)) * (1u << sub_bits) +
           ((v >> (top - sub_bits)) & ((1u << sub_bits) - 1));
}

std::uint64_t DelayHistogram::lower(std::size_t b) {
    if (b < linear) {
        return b;
    }
    const std::size_t k = b - linear;
    const int top = static_cast<int>(k >> sub_bits) + sub_bits + 1;
    return (std::uint64_t{1} << top) +
           (static_cast<std::uint64_t>(k & ((1u << sub_bits) - 1)) << (top - sub_bits));
}
