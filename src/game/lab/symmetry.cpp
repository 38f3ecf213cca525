#include "symmetry.hpp"

namespace nonagame {

std::string_view symmetry_name(int k) {
    static constexpr std::array<std::string_view, kSymmetries> kNames = {
        "identity", "rot90", "rot180", "rot270", "flip_h", "flip_v", "transpose", "anti_transpose"};
    return kNames[k];
}

CellSet transform_set(int k, const CellSet& cells) {
    if (k == kIdentity) return cells;
    // Roster by roster: the nine cells of roster r move, as a 9-bit mask, to roster k(r).
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    for (int r = 0; r < kRosters; ++r) {
        const std::uint64_t bits = transform_mask(k, cells.roster_bits(r));
        const int shift = 9 * transform_roster(k, r);
        if (shift < 64) {
            low |= bits << shift;
            if (shift > 64 - 9) high |= bits >> (64 - shift);
        } else {
            high |= bits << (shift - 64);
        }
    }
    return CellSet::from_words(low, high);
}

}  // namespace nonagame
