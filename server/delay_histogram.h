// The send-to-decode delays that --latency-probe collects, kept in fixed memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Log-linear buckets (exact below 64 us, then 32 per doubling) keep the memory fixed however
// many updates arrive, at the cost of up to 1/32 relative error in the quantiles.
class DelayHistogram {
  public:
    // us below 2^31.
    void add(std::uint32_t us);

    std::uint64_t samples() const { return samples_; }
    std::uint32_t max() const { return max_; }

    // The largest value the bucket of the sample at rank ceil(q * samples) can hold, capped at
    // the maximum seen so that p99 never exceeds max; 0 without samples.
    std::uint32_t quantile(double q) const;

  private:
    static constexpr int sub_bits = 5;
    static constexpr std::uint32_t linear = 2u << sub_bits;
    // Values are below 2^31, so the top doubling starts at 2^30.
    static constexpr std::size_t bucket_count = linear + (31 - (sub_bits + 1)) * (1u << sub_bits);

    static std::size_t bucket(std::uint32_t v);
    static std::uint64_t lower(std::size_t b);

    std::array<std::uint64_t, bucket_count> counts_{};
    std::uint64_t samples_ = 0;
    std::uint32_t max_ = 0;
};
