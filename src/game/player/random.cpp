#include "random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <mutex>

namespace nonagame {

namespace {

// Bumped in every forked child, so that each thread generator notices the fork on its next
// draw and reseeds instead of replaying the parent's sequence.
std::atomic<std::uint64_t> fork_generation{0};
std::once_flag fork_hook_once;

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

bool read_fully(int fd, unsigned char* out, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::read(fd, out + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool os_entropy(unsigned char* out, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::getrandom(out + done, len - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == len) return true;

    int fd = -1;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    const bool ok = read_fully(fd, out, len);
    ::close(fd);
    return ok;
}

// xoshiro256**: small, fast, and good enough for choosing moves.
class Generator {
public:
    std::uint64_t next() {
        const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
        if (!seeded_ || generation != generation_) reseed(generation);
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

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    void reseed(std::uint64_t generation) {
        std::call_once(fork_hook_once, [] { ::pthread_atfork(nullptr, nullptr, on_fork_child); });
        unsigned char bytes[sizeof s_];
        if (os_entropy(bytes, sizeof bytes)) {
            for (std::size_t i = 0; i < 4; ++i) {
                std::uint64_t word = 0;
                for (std::size_t b = 0; b < 8; ++b) word |= std::uint64_t{bytes[8 * i + b]} << (8 * b);
                s_[i] = word;
            }
        } else {
            // No entropy source at all: mix the clock, the process and this thread's state.
            std::uint64_t mix = static_cast<std::uint64_t>(
                                    std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                                (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                reinterpret_cast<std::uintptr_t>(this) ^ generation;
            for (auto& word : s_) word = splitmix64(mix);
        }
        if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;  // the all-zero state is a fixed point
        generation_ = generation;
        seeded_ = true;
    }

    std::uint64_t s_[4] = {};
    std::uint64_t generation_ = 0;
    bool seeded_ = false;
};

thread_local Generator generator;

}  // namespace

std::uint32_t uniform_index(std::uint32_t bound) {
    // Lemire's multiply-and-reject: the high word of x * bound is uniform once the low
    // words below 2^32 mod bound are rejected.
    std::uint64_t product = (generator.next() >> 32) * std::uint64_t{bound};
    auto low = static_cast<std::uint32_t>(product);
    if (low < bound) {
        const std::uint32_t threshold = (0U - bound) % bound;
        while (low < threshold) {
            product = (generator.next() >> 32) * std::uint64_t{bound};
            low = static_cast<std::uint32_t>(product);
        }
    }
    return static_cast<std::uint32_t>(product >> 32);
}

}  // namespace nonagame
