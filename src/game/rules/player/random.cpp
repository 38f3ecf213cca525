#include "random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <mutex>

#include "../rng.hpp"

namespace nonagame {

namespace {

// Bumped in every forked child, so that each thread generator notices the fork on its next
// draw and reseeds instead of replaying the parent's sequence.
std::atomic<std::uint64_t> fork_generation{0};
std::once_flag fork_hook_once;

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

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

}  // namespace

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

namespace {

// The generator of this thread, (re)seeded on its first draw and on the first draw after
// a fork.
class ThreadGenerator {
public:
    Rng& get() {
        const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
        if (!seeded_ || generation != generation_) reseed(generation);
        return rng_;
    }

private:
    void reseed(std::uint64_t generation) {
        std::call_once(fork_hook_once, [] { ::pthread_atfork(nullptr, nullptr, on_fork_child); });
        std::array<std::uint64_t, 4> words{};
        unsigned char bytes[sizeof words];
        if (os_entropy(bytes, sizeof bytes)) {
            for (std::size_t i = 0; i < words.size(); ++i) {
                for (std::size_t b = 0; b < 8; ++b) words[i] |= std::uint64_t{bytes[8 * i + b]} << (8 * b);
            }
        } else {
            // No entropy source at all: mix the clock, the process and this thread's state.
            std::uint64_t mix = static_cast<std::uint64_t>(
                                    std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                                (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                reinterpret_cast<std::uintptr_t>(this) ^ generation;
            for (auto& word : words) word = splitmix64(mix);
        }
        rng_ = Rng::from_state(words);
        generation_ = generation;
        seeded_ = true;
    }

    Rng rng_;
    std::uint64_t generation_ = 0;
    bool seeded_ = false;
};

thread_local ThreadGenerator generator;

}  // namespace

// Lemire's multiply-and-reject (Rng::below): one draw, and another for each rejected one.
// Checking for a fork once a call is enough: a child holds only the thread that forked,
// so no thread is ever in the middle of a call when its fork generation changes.
std::uint32_t uniform_index(std::uint32_t bound) { return generator.get().below(bound); }

}  // namespace nonagame
