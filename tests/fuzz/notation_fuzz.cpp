// libFuzzer target for the position notation: arbitrary bytes go to the parser, which must
// refuse or accept without faults. An accepted text is held to what the notation promises:
// it is already in the one form notation() writes, the position it names has a consistent
// key, and its images under the symmetries and the positions after each legal move are
// accepted in turn and read back as themselves.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "notation.hpp"
#include "position.hpp"
#include "symmetry.hpp"

using namespace nonagame;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "notation invariant violated: %s: %s\n", what, text.c_str());
    std::abort();
}

void check(bool condition, const char* what, const std::string& text) {
    if (!condition) fail(what, text);
}

// position must print as a text the parser reads back as the same position.
void check_round_trip(const Position& position, const char* what) {
    const std::string text = notation(position);
    const Result<Position> again = parse_notation(text);
    if (!again.ok()) fail(what, text + " refused: " + again.refusal().message);
    check(again.value() == position, what, text);
    check(again->key() == position.key(), "key after the round trip", text);
    check(again->legal_set() == position.legal_set(), "legal cells after the round trip", text);
    check(again->winner() == position.winner(), "winner after the round trip", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Result<Position> parsed = parse_notation(text);
    if (!parsed.ok()) {
        const Refusal& refusal = parsed.refusal();
        check(!refusal.message.empty(), "empty refusal", std::string(text));
        check(refusal.index >= -1 && static_cast<std::size_t>(refusal.index + 1) <= size + 1, "refusal offset",
              refusal.message);
        return 0;
    }
    const Position& position = parsed.value();
    const std::string written = notation(position);
    check(written == text, "accepted text differs from its notation", written);
    check(position.key() == position.recompute_key(), "key of a parsed position", written);
    check_round_trip(position, "round trip");

    for (int k = 1; k < kSymmetries; ++k) check_round_trip(position.transformed(k), "symmetric image");
    position.legal_set().for_each([&](int cell) {
        const Result<Position> next = position.play(cell);
        check(next.ok(), "legal cell refused", written);
        check(next->key() == next->recompute_key(), "key after a move", written);
        check_round_trip(next.value(), "position after a legal move");
    });
    return 0;
}
