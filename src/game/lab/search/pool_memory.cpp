#include "search/pool_memory.hpp"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nonagame::mcts::detail {

namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// bytes (a multiple of kHugePage) mapped at an address aligned to kHugePage, or nullptr.
void* map_aligned(std::size_t bytes) {
    // One huge page more than needed, then the unaligned head and the tail unmapped.
    const std::size_t span = bytes + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const std::size_t head = (kHugePage - reinterpret_cast<std::uintptr_t>(raw) % kHugePage) % kHugePage;
    char* aligned = static_cast<char*>(raw) + head;
    if (head > 0) munmap(raw, head);
    if (span - head > bytes) munmap(aligned + bytes, span - head - bytes);
    return aligned;
}
#endif

}  // namespace

void* pool_allocate(std::size_t bytes, PoolRelease& release) {
    release.bytes = 0;
#if defined(__linux__)
    if (bytes >= kMappedPoolBytes) {
        const std::size_t mapped = round_up(bytes, kHugePage);
        if (void* data = map_aligned(mapped)) {
            // Only advice: without transparent huge pages the pool has ordinary pages.
            madvise(data, mapped, MADV_HUGEPAGE);
            release.bytes = mapped;
            return data;
        }
        throw std::bad_alloc();
    }
#endif
    return ::operator new(bytes);
}

void PoolRelease::operator()(void* data) const noexcept {
    if (data == nullptr) return;
#if defined(__linux__)
    if (bytes != 0) {
        munmap(data, bytes);
        return;
    }
#endif
    ::operator delete(data);
}

}  // namespace nonagame::mcts::detail
