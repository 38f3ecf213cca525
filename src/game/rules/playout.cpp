#include "playout.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>

#include "bits.hpp"
#include "place.hpp"

#if NONAGAME_HAVE_PDEP
#include <cpuid.h>
#endif

namespace nonagame {

namespace {

// The two ways of counting and selecting bits; the simulation code is written once over them.
struct PortableBits {
    static int count(std::uint64_t word) { return bits::popcount(word); }
    static int select(std::uint64_t word, int k) { return bits::select(word, k); }
    static int count9(unsigned mask) { return bits::count9(mask); }
    static int select9(unsigned mask, int k) { return bits::select9(mask, k); }
};

#if NONAGAME_HAVE_PDEP
struct PdepBits {
    static int count(std::uint64_t word) { return bits::x86::popcount(word); }
    static int select(std::uint64_t word, int k) { return bits::x86::select(word, k); }
    static int count9(unsigned mask) { return bits::x86::popcount(mask); }
    static int select9(unsigned mask, int k) { return bits::x86::select(mask, k); }
};

// The registers cpuid returns for a leaf and sub-leaf, or nothing when the processor does
// not have the leaf.
struct CpuidRegisters {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

std::optional<CpuidRegisters> cpuid(unsigned leaf, unsigned subleaf = 0) {
    CpuidRegisters r;
    if (__get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx) == 0) return std::nullopt;
    return r;
}

// BMI1 (tzcnt), BMI2 (pdep) and POPCNT, as the processor reports them.
bool cpu_has_pdep() {
    const std::optional<CpuidRegisters> features = cpuid(1);
    const std::optional<CpuidRegisters> extended = cpuid(7, 0);
    if (!features || !extended) return false;
    const bool popcnt = (features->ecx >> 23) & 1U;
    const bool bmi1 = (extended->ebx >> 3) & 1U;
    const bool bmi2 = (extended->ebx >> 8) & 1U;
    return popcnt && bmi1 && bmi2;
}

// AMD processors before family 19h (Zen 3) and Hygon's run pdep in microcode, taking tens of
// cycles per instruction; the portable path is faster there.
bool pdep_is_slow() {
    const std::optional<CpuidRegisters> vendor_leaf = cpuid(0);
    if (!vendor_leaf) return true;
    // The vendor text, in this order.
    const std::array<unsigned, 3> words = {vendor_leaf->ebx, vendor_leaf->edx, vendor_leaf->ecx};
    std::array<char, sizeof words> vendor{};
    std::memcpy(vendor.data(), words.data(), sizeof words);
    const std::string_view name(vendor.data(), vendor.size());
    if (name != "AuthenticAMD" && name != "HygonGenuine") return false;
    const std::optional<CpuidRegisters> signature = cpuid(1);
    if (!signature) return true;
    const unsigned base = (signature->eax >> 8) & 0xFU;
    const unsigned family = base == 0xFU ? base + ((signature->eax >> 20) & 0xFFU) : base;
    return family < 0x19U;
}
#endif

constexpr std::uint8_t kUnset = 0xFF;
// The path in use, kUnset until the first call chooses the machine's default.
std::atomic<std::uint8_t> chosen_path{kUnset};

SelectPath current_path() {
    const std::uint8_t path = chosen_path.load(std::memory_order_relaxed);
    if (path != kUnset) [[likely]] return static_cast<SelectPath>(path);
    const SelectPath detected = default_select_path();
    chosen_path.store(static_cast<std::uint8_t>(detected), std::memory_order_relaxed);
    return detected;
}

template <class Bits>
int nth_in(const CellSet& cells, int k) {
    const std::uint64_t low = cells.low_word();
    const int in_low = Bits::count(low);
    return k < in_low ? Bits::select(low, k) : 64 + Bits::select(cells.high_word(), k - in_low);
}

template <class Bits>
int nth_legal(const GameRecord& game, int choice) {
    const int roster = forced_roster(game);
    if (roster >= 0) return 9 * roster + Bits::select9(game.available.roster_bits(roster), choice);
    return nth_in<Bits>(game.available, choice);
}

// A uniformly random legal cell: one draw of rng.below over the legal count, then the cell
// at that index of the ascending legal cells.
template <class Bits>
int random_legal(const GameRecord& game, Rng& rng) {
    const int roster = forced_roster(game);
    if (roster >= 0) {
        const unsigned free = game.available.roster_bits(roster);
        const auto choice = static_cast<int>(rng.below(static_cast<std::uint32_t>(Bits::count9(free))));
        return 9 * roster + Bits::select9(free, choice);
    }
    const std::uint64_t low = game.available.low_word();
    const std::uint64_t high = game.available.high_word();
    const int in_low = Bits::count(low);
    const auto choice = static_cast<int>(rng.below(static_cast<std::uint32_t>(in_low + Bits::count(high))));
    return choice < in_low ? Bits::select(low, choice) : 64 + Bits::select(high, choice - in_low);
}

inline void play(GameRecord& game, int cell) {
    const std::int8_t player = game.next_player;
    place_mark(game, cell, player);
    settle_move(game, player, cell);  // an opening move settles nothing
    ++game.moves_accepted;
    if (game.available.empty()) game.finished = true;
}

template <class Bits>
int random_move(GameRecord& game, Rng& rng) {
    const int cell = random_legal<Bits>(game, rng);
    play(game, cell);
    return cell;
}

// Whether play_out below may play the game: players 1 and 2 alternate, and available holds
// no cell of a decided roster (as ordinary play and positions built from boards keep it).
// Sets open to the rosters whose status is below 0, the ones a move can be confined to.
bool regular(const GameRecord& game, unsigned& open) {
    if (!has_masks(game.next_player)) return false;
    open = 0;
    for (int r = 0; r < kRosters; ++r) {
        if (game.rosters[static_cast<std::size_t>(r)] < 0) open |= 1U << r;
        else if (game.available.roster_bits(r) != 0) return false;
    }
    return true;
}

#if defined(__SIZEOF_INT128__)
__extension__ using Wide = unsigned __int128;

constexpr unsigned roster_of(const Wide& cells, int roster) {
    return static_cast<unsigned>(cells >> (9 * roster)) & 0x1FFU;
}

// A whole game of random moves with the position held in locals: the available set as one
// 128-bit value, the masks in a local copy, the roster statuses a move can be confined to
// in a 9-bit mask. Only the board and the decided rosters are written as the game goes;
// the rest of the record is written back at the end. The moves, their draws and the final
// record are those of play_random_move repeated (place_mark and settle_move): in a regular
// position a move's roster is open, so settling changes its status exactly when the roster
// is won or runs out of cells, and the board is won only through a roster just won.
template <class Bits>
std::int8_t play_out(GameRecord& game, Rng& rng, unsigned open) {
    Rng local = rng;
    Wide available = (Wide{game.available.high_word()} << 64) | game.available.low_word();
    std::array<std::array<std::uint16_t, kRosters>, 2> cells = game.cell_masks;
    std::array<unsigned, 2> won = {game.roster_masks[0], game.roster_masks[1]};
    auto mover = static_cast<unsigned>(game.next_player - 1);
    int target = game.next_roster;
    std::int8_t winner = game.winner;
    std::uint32_t moves = 0;
    while (available != 0) {
        int roster = target;
        int position = 0;
        unsigned free = 0;  // the roster's available cells
        if (static_cast<unsigned>(target) < 9U && ((open >> target) & 1U)) {
            free = roster_of(available, roster);
            position = Bits::select9(free, static_cast<int>(local.below(static_cast<std::uint32_t>(Bits::count9(free)))));
        } else {
            const auto low = static_cast<std::uint64_t>(available);
            const auto high = static_cast<std::uint64_t>(available >> 64);
            const int in_low = Bits::count(low);
            const auto choice =
                static_cast<int>(local.below(static_cast<std::uint32_t>(in_low + Bits::count(high))));
            const int cell = choice < in_low ? Bits::select(low, choice) : 64 + Bits::select(high, choice - in_low);
            roster = static_cast<int>(static_cast<unsigned>(cell) / 9U);
            position = cell - 9 * roster;
            free = roster_of(available, roster);
        }
        const int cell = 9 * roster + position;
        const auto r = static_cast<std::size_t>(roster);
        const unsigned bit = 1U << position;
        game.board[static_cast<std::size_t>(cell)] = static_cast<std::int8_t>(mover + 1);
        std::uint16_t& mine = cells[mover][r];
        mine = static_cast<std::uint16_t>(mine | bit);
        cells[mover ^ 1U][r] = static_cast<std::uint16_t>(cells[mover ^ 1U][r] & ~bit);
        available &= ~(Wide{1} << cell);
        free &= ~bit;
        ++moves;
        target = position;
        if ((lines::kWonThrough[mine] >> position) & 1U) {
            game.rosters[r] = static_cast<std::int8_t>(mover + 1);
            open &= ~(1U << roster);
            won[mover] |= 1U << roster;
            available &= ~(Wide{0x1FF} << (9 * roster));
            if ((lines::kWonThrough[won[mover]] >> roster) & 1U) {
                if (winner == 0) winner = static_cast<std::int8_t>(mover + 1);
                available = 0;
            }
        } else if (free == 0) {
            game.rosters[r] = ROSTER_DRAWN;
            open &= ~(1U << roster);
        }
        mover ^= 1U;
    }
    if (moves != 0) {
        game.available.clear();
        game.cell_masks = cells;
        game.roster_masks = {static_cast<std::uint16_t>(won[0]), static_cast<std::uint16_t>(won[1])};
        game.next_player = static_cast<std::int8_t>(mover + 1);
        game.next_roster = static_cast<std::int8_t>(target);
        game.winner = winner;
        game.finished = true;
        game.moves_accepted += moves;
    }
    rng = local;
    return game.winner;
}
#endif

template <class Bits>
std::int8_t playout(GameRecord& game, Rng& rng) {
#if defined(__SIZEOF_INT128__)
    unsigned open = 0;
    if (regular(game, open)) return play_out<Bits>(game, rng, open);
#endif
    // Any other record, one checked-free move at a time. The generator is copied in and
    // out so that it lives in registers: the board's byte stores could otherwise alias it.
    Rng local = rng;
    while (!game.available.empty()) random_move<Bits>(game, local);
    rng = local;
    return game.winner;
}

}  // namespace

bool pdep_supported() {
#if NONAGAME_HAVE_PDEP
    static const bool supported = cpu_has_pdep();
    return supported;
#else
    return false;
#endif
}

SelectPath default_select_path() {
#if NONAGAME_HAVE_PDEP
    static const SelectPath path = pdep_supported() && !pdep_is_slow() ? SelectPath::Pdep : SelectPath::Portable;
    return path;
#else
    return SelectPath::Portable;
#endif
}

SelectPath select_path() { return current_path(); }

SelectPath set_select_path(SelectPath path) {
    const SelectPath used = path == SelectPath::Pdep && !pdep_supported() ? SelectPath::Portable : path;
    chosen_path.store(static_cast<std::uint8_t>(used), std::memory_order_relaxed);
    return used;
}

int nth_cell(const CellSet& cells, int k, SelectPath path) {
#if NONAGAME_HAVE_PDEP
    if (path == SelectPath::Pdep && pdep_supported()) return nth_in<PdepBits>(cells, k);
#else
    (void)path;
#endif
    return nth_in<PortableBits>(cells, k);
}

int nth_cell(const CellSet& cells, int k) { return nth_cell(cells, k, current_path()); }

void play_legal(GameRecord& game, int cell) { play(game, cell); }

int nth_legal_cell(const GameRecord& game, int choice) {
#if NONAGAME_HAVE_PDEP
    if (current_path() == SelectPath::Pdep) return nth_legal<PdepBits>(game, choice);
#endif
    return nth_legal<PortableBits>(game, choice);
}

int play_random_move(GameRecord& game, Rng& rng) {
#if NONAGAME_HAVE_PDEP
    if (current_path() == SelectPath::Pdep) return random_move<PdepBits>(game, rng);
#endif
    return random_move<PortableBits>(game, rng);
}

std::int8_t random_playout(GameRecord& game, Rng& rng) {
#if NONAGAME_HAVE_PDEP
    if (current_path() == SelectPath::Pdep) return playout<PdepBits>(game, rng);
#endif
    return playout<PortableBits>(game, rng);
}

}  // namespace nonagame
