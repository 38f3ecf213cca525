#include "playout.hpp"

#include <atomic>

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

// BMI1 (tzcnt), BMI2 (pdep) and POPCNT, as the processor reports them.
bool cpu_has_pdep() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool popcnt = (ecx >> 23) & 1U;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool bmi1 = (ebx >> 3) & 1U;
    const bool bmi2 = (ebx >> 8) & 1U;
    return popcnt && bmi1 && bmi2;
}

// AMD processors before family 19h (Zen 3) and Hygon's run pdep in microcode, taking tens of
// cycles per instruction; the portable path is faster there.
bool pdep_is_slow() {
    unsigned eax = 0;
    unsigned vendor[3] = {};
    if (__get_cpuid(0, &eax, &vendor[0], &vendor[2], &vendor[1]) == 0) return true;
    const bool amd = vendor[0] == 0x68747541U && vendor[1] == 0x69746e65U && vendor[2] == 0x444d4163U;  // AuthenticAMD
    const bool hygon = vendor[0] == 0x6f677948U && vendor[1] == 0x656e596eU && vendor[2] == 0x656e6975U;  // HygonGenuine
    if (!amd && !hygon) return false;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return true;
    const unsigned base = (eax >> 8) & 0xFU;
    const unsigned family = base == 0xFU ? base + ((eax >> 20) & 0xFFU) : base;
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

template <class Bits>
std::int8_t playout(GameRecord& game, Rng& rng) {
    // The generator is copied in and out so that it lives in registers: the board's byte
    // stores could otherwise alias it.
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
