// Memory of released objects kept for reuse by a type's tp_alloc, so that a type made and
// dropped in large numbers (the snapshots of the match runner) skips the allocator.
#pragma once

#include <array>
#include <cstddef>

namespace nonagame::py {

template <std::size_t Capacity>
class FreeList {
public:
    // A kept block, or NULL when there is none.
    void* take() noexcept { return count_ > 0 ? blocks_[--count_] : nullptr; }

    // Keeps block for reuse while there is room; false when the caller must free it.
    bool keep(void* block) noexcept {
        if (count_ == Capacity) return false;
        blocks_[count_++] = block;
        return true;
    }

private:
    std::array<void*, Capacity> blocks_{};
    std::size_t count_ = 0;
};

}  // namespace nonagame::py
