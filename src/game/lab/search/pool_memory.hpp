// The memory of a node pool. A large pool is mapped on its own, aligned to 2 MiB and marked
// for transparent huge pages, so that a tree growing into it takes one page fault per 2 MiB
// instead of one per 4 KiB (a guided search of 100,000 simulations touches about 29 MiB: some
// 7,000 faults, 6% of its time on one thread, each zeroing a page in the kernel), and its
// random walks through the tree miss the TLB less. A smaller pool comes from the allocator,
// which keeps and reuses such blocks between searches without faulting them in again; past
// 32 MiB glibc maps every block afresh anyway. Elsewhere than Linux every pool comes from the
// allocator.
#pragma once

#include <cstddef>

namespace nonagame::mcts::detail {

// Releases what pool_allocate returned (a no-op for nullptr).
struct PoolRelease {
    std::size_t bytes = 0;  // of the mapping; 0 for a block of the allocator
    void operator()(void* data) const noexcept;
};

// Blocks from this size up are mapped with huge pages.
inline constexpr std::size_t kMappedPoolBytes = std::size_t{32} << 20;

// Uninitialised memory for bytes (aligned for any node type), and how to release it. Throws
// std::bad_alloc when there is none.
void* pool_allocate(std::size_t bytes, PoolRelease& release);

}  // namespace nonagame::mcts::detail
