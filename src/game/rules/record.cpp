#include "record.hpp"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lines.hpp"

namespace nonagame {

namespace {

struct Masks {
    std::array<std::array<std::uint16_t, kRosters>, 2> cells{};
    std::array<std::uint16_t, 2> rosters{};
};

// The masks one entry at a time, the plain reading of their definition.
Masks masks_of(const GameRecord& game) {
    Masks masks;
    for (std::size_t i = 0; i < 2; ++i) {
        const auto player = static_cast<std::int8_t>(i + 1);
        for (int r = 0; r < kRosters; ++r) {
            masks.cells[i][static_cast<std::size_t>(r)] =
                static_cast<std::uint16_t>(lines::held_mask(game.board.data() + std::ptrdiff_t{9} * r, player));
        }
        masks.rosters[i] = static_cast<std::uint16_t>(lines::held_mask(game.rosters.data(), player));
    }
    return masks;
}

// The masks of a board and its roster statuses. A checkpoint load runs this on every call,
// so it compares sixteen cells at a time where SSE2 is there (every x86-64).
void compute_masks(const std::array<std::int8_t, kCells>& board, const std::array<std::int8_t, kRosters>& rosters,
                   GameRecord& game) {
    std::array<CellSet, 2> cells;
    std::array<unsigned, 2> statuses{};
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i twos = _mm_set1_epi8(2);
    std::array<std::uint64_t, 2> low{};
    std::array<std::uint64_t, 2> high{};
    for (std::size_t chunk = 0; chunk < 5; ++chunk) {
        const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(board.data() + 16 * chunk));
        const auto one_bits = static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(values, ones)));
        const auto two_bits = static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(values, twos)));
        if (chunk < 4) {
            low[0] |= one_bits << (16 * chunk);
            low[1] |= two_bits << (16 * chunk);
        } else {
            high[0] = one_bits;
            high[1] = two_bits;
        }
    }
    std::uint64_t first_statuses = 0;
    std::memcpy(&first_statuses, rosters.data(), sizeof first_statuses);
    const __m128i status_values = _mm_cvtsi64_si128(static_cast<long long>(first_statuses));
    statuses[0] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(status_values, ones))) & 0xFFU;
    statuses[1] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(status_values, twos))) & 0xFFU;
    for (std::size_t i = 0; i < 2; ++i) {
        const auto player = static_cast<std::int8_t>(i + 1);
        high[i] |= static_cast<std::uint64_t>(board[kCells - 1] == player) << 16;
        cells[i] = CellSet::from_words(low[i], high[i]);
        statuses[i] |= static_cast<unsigned>(rosters[kRosters - 1] == player) << 8;
    }
#else
    for (int cell = 0; cell < kCells; ++cell) {
        const std::int8_t value = board[static_cast<std::size_t>(cell)];
        if (value == 1 || value == 2) cells[static_cast<std::size_t>(value - 1)].insert(cell);
    }
    for (std::size_t i = 0; i < 2; ++i) statuses[i] = lines::held_mask(rosters.data(), static_cast<std::int8_t>(i + 1));
#endif
    for (std::size_t i = 0; i < 2; ++i) {
        for (int r = 0; r < kRosters; ++r) {
            game.cell_masks[i][static_cast<std::size_t>(r)] = static_cast<std::uint16_t>(cells[i].roster_bits(r));
        }
        game.roster_masks[i] = static_cast<std::uint16_t>(statuses[i]);
    }
}

}  // namespace

void sync_masks(GameRecord& game) { compute_masks(game.board, game.rosters, game); }

void load_position(GameRecord& game, const std::array<std::int8_t, kCells>& board,
                   const std::array<std::int8_t, kRosters>& rosters) {
    // The masks are computed from the source, before the copies, so that they do not wait
    // for the record's fresh stores.
    compute_masks(board, rosters, game);
    game.board = board;
    game.rosters = rosters;
}

std::int8_t winner_of_masks(const GameRecord& game) {
    if (lines::kWonThrough[game.roster_masks[0]] != 0) return 1;
    if (lines::kWonThrough[game.roster_masks[1]] != 0) return 2;
    return 0;
}

bool masks_in_sync(const GameRecord& game) {
    const Masks masks = masks_of(game);
    return game.cell_masks == masks.cells && game.roster_masks == masks.rosters;
}

}  // namespace nonagame
