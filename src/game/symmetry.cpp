#include "symmetry.hpp"

namespace nonagame {

std::string_view symmetry_name(int k) {
    static constexpr std::array<std::string_view, kSymmetries> kNames = {
        "identity", "rot90", "rot180", "rot270", "flip_h", "flip_v", "transpose", "anti_transpose"};
    return kNames[k];
}

CellSet transform_set(int k, const CellSet& cells) {
    if (k == kIdentity) return cells;
    const std::array<std::int8_t, kCells>& map = detail::kCellMap[k];
    CellSet image;
    cells.for_each([&image, &map](int cell) { image.insert(map[cell]); });
    return image;
}

}  // namespace nonagame
