#include "text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace nonagame {

namespace {

// Text of a cell holding value; empty for a value that is no mark.
std::string_view cell_text(std::int8_t value, BoardLetters letters) {
    const bool lab = letters == BoardLetters::kLab;
    switch (value) {
        case 0: return "   ";
        case 1: return lab ? " X " : " O ";
        case 2: return lab ? " O " : " X ";
        default: return {};
    }
}

void append_roster_row(std::string& out, const GameRecord& game, int roster, int row, BoardLetters letters) {
    const std::int8_t status = game.rosters[roster];
    if (status != 0 && status != -1 && status != 1 && status != 2) return;
    for (int column = 0; column < 3; ++column) {
        // A won roster shows its winner's mark in every cell.
        const std::int8_t value = status > 0 ? status : game.board[9 * roster + 3 * row + column];
        const std::string_view text = cell_text(value, letters);
        if (text.empty()) continue;
        out += text;
        if (column < 2) out += kLightVertical;
    }
}

}  // namespace

const std::string& thin_rule() {
    static const std::string rule = [] {
        std::string text;
        for (int roster = 0; roster < 3; ++roster) {
            if (roster > 0) text += kHeavyVertical;
            for (int cell = 0; cell < 3; ++cell) {
                if (cell > 0) text += kLightCross;
                for (int i = 0; i < 3; ++i) text += kLightHorizontal;
            }
        }
        return text;
    }();
    return rule;
}

const std::string& heavy_rule() {
    static const std::string rule = [] {
        std::string text;
        for (int roster = 0; roster < 3; ++roster) {
            if (roster > 0) text += kHeavyCross;
            for (int i = 0; i < 11; ++i) text += kHeavyHorizontal;
        }
        return text;
    }();
    return rule;
}

std::string render_board(const GameRecord& game, BoardLetters letters) {
    const std::string& thin = thin_rule();
    const std::string& heavy = heavy_rule();
    std::string out;
    out.reserve(std::size_t{17} * 3 * 35);  // 17 lines of 35 characters of up to 3 bytes
    for (int band = 0; band < 3; ++band) {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                if (column > 0) out += kHeavyVertical;
                append_roster_row(out, game, 3 * band + column, row, letters);
            }
            if (row < 2) {
                out += '\n';
                out += thin;
                out += '\n';
            } else if (band < 2) {
                out += '\n';
                out += heavy;
                out += '\n';
            }
        }
    }
    return out;
}

std::string multiline_set(const CellSet& cells) {
    if (cells.empty()) return "{}";
    std::string out = "{\n";
    cells.for_each([&out](int cell) {
        out += "    ";
        out += std::to_string(cell);
        out += ",\n";
    });
    return out + "}";
}

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";

    // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]XX".
    char buffer[40];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e_pos = sci.find('e');
    const bool negative = sci.front() == '-';
    std::string digits;
    for (const char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0))) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    const std::string_view exp_text = sci.substr(e_pos + 1);
    std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0), exp_text.data() + exp_text.size(),
                    exponent);

    std::string out = negative ? "-" : "";
    const double magnitude = std::fabs(value);
    if (magnitude < 1e-4 || magnitude >= 1e16) {
        out += digits.front();
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        return out + 'e' + std::to_string(exponent);
    }
    const int int_digits = exponent + 1;
    if (int_digits <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-int_digits), '0');
        return out + digits;
    }
    const auto whole = static_cast<std::size_t>(int_digits);
    if (digits.size() <= whole) {
        out += digits;
        out.append(whole - digits.size(), '0');
        return out + ".0";
    }
    out.append(digits, 0, whole);
    out += '.';
    out.append(digits, whole);
    return out;
}

}  // namespace nonagame
