#include "legal.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>

#include "bits.hpp"
#include "legal_bits.hpp"
#include "place.hpp"

#if NONAGAME_HAVE_PDEP
#include <cpuid.h>
#endif

namespace nonagame {

namespace {

using legal_bits::PortableBits;

#if NONAGAME_HAVE_PDEP
using legal_bits::PdepBits;

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

void play_legal(GameRecord& game, int cell) { legal_bits::play_unchecked(game, cell); }

int nth_legal_cell(const GameRecord& game, int choice) {
#if NONAGAME_HAVE_PDEP
    if (current_path() == SelectPath::Pdep) return nth_legal<PdepBits>(game, choice);
#endif
    return nth_legal<PortableBits>(game, choice);
}

int play_random_move(GameRecord& game, Rng& rng) {
#if NONAGAME_HAVE_PDEP
    if (current_path() == SelectPath::Pdep) return legal_bits::random_move<PdepBits>(game, rng);
#endif
    return legal_bits::random_move<PortableBits>(game, rng);
}

}  // namespace nonagame
