// A seedable generator for the search and simulation code: xoshiro256** seeded through
// SplitMix64. Streams derived from (seed, stream) are independent in practice, so work
// split over threads by item index reproduces the same draws whatever the thread count.
// The default player's per-thread generator (player/random.cpp) is the same generator
// with its state taken from the operating system's entropy source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nonagame {

constexpr std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

class Rng {
public:
    // The generator of item `stream` under `seed`. Constant, so that a thread_local Rng is
    // initialised statically, without a check on every access.
    explicit constexpr Rng(std::uint64_t seed = 0, std::uint64_t stream = 0) {
        std::uint64_t mix = seed ^ (stream * 0xD1B54A32D192ED03ULL + 0x8CB92BA72F3D8DD7ULL);
        mix = splitmix64(mix) ^ stream;
        for (auto& word : s_) word = splitmix64(mix);
        avoid_zero_state();
    }

    // The generator whose state is these four words.
    static constexpr Rng from_state(const std::array<std::uint64_t, 4>& words) {
        Rng rng;
        for (std::size_t i = 0; i < words.size(); ++i) rng.s_[i] = words[i];
        rng.avoid_zero_state();
        return rng;
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // A uniform integer in [0, bound), bound >= 1, without modulo bias (Lemire).
    std::uint32_t below(std::uint32_t bound) {
        std::uint64_t product = (next() >> 32) * std::uint64_t{bound};
        auto low = static_cast<std::uint32_t>(product);
        if (low < bound) {
            const std::uint32_t threshold = (0U - bound) % bound;
            while (low < threshold) {
                product = (next() >> 32) * std::uint64_t{bound};
                low = static_cast<std::uint32_t>(product);
            }
        }
        return static_cast<std::uint32_t>(product >> 32);
    }

    // A uniform double in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    // The all-zero state is a fixed point of the generator.
    constexpr void avoid_zero_state() {
        if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;
    }
    std::uint64_t s_[4] = {};
};

}  // namespace nonagame
