#include "notation.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "grid.hpp"
#include "lines.hpp"
#include "symmetry.hpp"

namespace nonagame {

namespace {

constexpr char kMarks[3] = {'-', 'x', 'o'};

char mark_char(int player) { return kMarks[player]; }

std::string hex_byte(unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string{kHex[c >> 4], kHex[c & 15]};
}

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// A byte of the input as a message shows it.
std::string shown(unsigned char c) {
    if (printable(c)) return std::string{'\'', static_cast<char>(c), '\''};
    return "byte 0x" + hex_byte(c);
}

bool is_cell_char(char c) { return c == 'x' || c == 'o' || (c >= '1' && c <= '9'); }

// Reads the grammar of the notation; the checks of reachability come after.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    struct Fields {
        std::array<std::int8_t, kCells> board{};
        int to_move = 1;
        int forced = -1;
    };

    // The fields, or the first place the text leaves the grammar.
    std::optional<Refusal> read(Fields& fields) {
        for (int row = 0; row < 9; ++row) {
            if (auto refusal = read_row(row, fields.board)) return refusal;
            if (auto refusal = read_row_end(row)) return refusal;
        }
        if (peek() != 'x' && peek() != 'o') return expected("the side to move, 'x' or 'o'");
        fields.to_move = peek() == 'x' ? 1 : 2;
        ++pos_;
        if (peek() != ' ') return expected("' ' after the side to move");
        ++pos_;
        if (peek() >= '0' && peek() <= '8') {
            fields.forced = peek() - '0';
        } else if (peek() != '-') {
            return expected("the forced roster, a digit 0-8 or '-'");
        }
        ++pos_;
        if (!at_end()) return expected("the end of the text after the forced roster");
        return std::nullopt;
    }

private:
    static std::string row_name(int row) { return "row " + std::to_string(row + 1) + " from the top"; }

    bool at_end() const { return pos_ >= text_.size(); }
    // The next byte, or NUL at the end (NUL is never part of the grammar).
    char peek() const { return at_end() ? '\0' : text_[pos_]; }

    Refusal fault(const std::string& what) const {
        return Refusal{"offset " + std::to_string(pos_) + ": " + what, static_cast<int>(pos_)};
    }
    Refusal expected(const std::string& what) const {
        const std::string got = at_end() ? "the end of the text" : shown(static_cast<unsigned char>(text_[pos_]));
        return fault("expected " + what + ", got " + got);
    }

    // The '/' after a row, or the ' ' after the last.
    std::optional<Refusal> read_row_end(int row) {
        const bool last = row == 8;
        if (peek() == (last ? ' ' : '/')) {
            ++pos_;
            return std::nullopt;
        }
        if (!at_end() && is_cell_char(text_[pos_])) return fault(row_name(row) + " has more than 9 cells");
        if (last && peek() == '/') return fault("the board has more than 9 rows");
        return expected(last ? "' ' after the last row" : "'/' after " + row_name(row));
    }

    std::optional<Refusal> read_row(int row, std::array<std::int8_t, kCells>& board) {
        int filled = 0;
        bool after_run = false;
        while (filled < 9) {
            const char c = peek();
            if (c == 'x' || c == 'o') {
                board[cell_at(row, filled)] = static_cast<std::int8_t>(c == 'x' ? 1 : 2);
                ++filled;
                after_run = false;
            } else if (c >= '1' && c <= '9') {
                const int run = c - '0';
                if (after_run) return fault("a run of empty cells is written as one digit");
                if (filled + run > 9) {
                    return fault("a run of " + std::to_string(run) + " empty cells does not fit in " + row_name(row) +
                                 ", which has " + std::to_string(filled) + " of its 9 cells");
                }
                filled += run;
                after_run = true;
            } else if (filled > 0 && (c == '/' || c == ' ' || at_end())) {
                return fault(row_name(row) + " has " + std::to_string(filled) + " cells; a row has 9");
            } else {
                return expected("a digit 1-9, 'x' or 'o'");
            }
            ++pos_;
        }
        return std::nullopt;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

std::string player_name(int player) { return std::string(1, mark_char(player)); }

std::string count_text(const std::array<int, 3>& count) {
    return "found " + std::to_string(count[1]) + " x and " + std::to_string(count[2]) + " o";
}

// The mark counts against the side to move: x moves first, so x to move follows as many
// moves of each player, and o to move one more of x.
std::optional<std::string> count_problem(const Reader::Fields& f) {
    std::array<int, 3> count{};
    for (const std::int8_t value : f.board) ++count[value];
    if (f.to_move == 1 && count[1] != count[2]) {
        return "x to move needs as many x marks as o marks; " + count_text(count);
    }
    if (f.to_move == 2 && count[1] != count[2] + 1) {
        return "o to move needs one x mark more than o marks; " + count_text(count);
    }
    return std::nullopt;
}

// The roster statuses, settled from the board as the engine settles a snapshot.
struct Settled {
    std::array<std::int8_t, kRosters> rosters{};
    int open = 0;
    int last_open = -1;
};

std::optional<std::string> settle(const Reader::Fields& f, Settled& settled) {
    for (int r = 0; r < kRosters; ++r) {
        const std::int8_t* cells = f.board.data() + std::ptrdiff_t{9} * r;
        const bool x_line = lines::has_line(cells, 1);
        const bool o_line = lines::has_line(cells, 2);
        if (x_line && o_line) return "roster " + std::to_string(r) + " holds a line of x and a line of o";
        const bool full = std::all_of(cells, cells + 9, [](std::int8_t value) { return value != 0; });
        std::int8_t status = ROSTER_OPEN;
        if (x_line) status = 1;
        else if (o_line) status = 2;
        else if (full) status = ROSTER_DRAWN;
        settled.rosters[r] = status;
        if (status == ROSTER_OPEN) {
            ++settled.open;
            settled.last_open = r;
        }
    }
    return std::nullopt;
}

// The winner of the board, or 0; refuses two winners and a winner who is to move.
std::optional<std::string> winner_problem(const Reader::Fields& f, const Settled& settled, int& winner) {
    const bool x_won = lines::has_line(settled.rosters.data(), 1);
    const bool o_won = lines::has_line(settled.rosters.data(), 2);
    if (x_won && o_won) return std::string{"x and o both hold a line of won rosters"};
    winner = x_won ? 1 : o_won ? 2 : 0;
    const int last_mover = 3 - f.to_move;
    if (winner != 0 && winner != last_mover) {
        return player_name(winner) + " holds a line of won rosters, so the game ended on a move of " +
               player_name(winner) + " and " + player_name(last_mover) + " is to move";
    }
    return std::nullopt;
}

// A free choice while more than one roster is open: the last move sent the player to move
// to a closed roster, so the player who moved last has a mark at position p of some roster
// while roster p is closed (won or full). The opening, the one position without a mark of
// the player who moved last, is free as well.
std::optional<std::string> free_choice_problem(const Reader::Fields& f, const Settled& settled, int last_mover) {
    bool any_mark = false;
    for (int c = 0; c < kCells; ++c) {
        if (f.board[c] != last_mover) continue;
        any_mark = true;
        if (settled.rosters[c % 9] != ROSTER_OPEN) return std::nullopt;
    }
    if (!any_mark) return std::nullopt;
    return "a free choice '-' needs a mark of " + player_name(last_mover) +
           ", who moved last, at position p of some roster while roster p is closed";
}

// The forced roster of a game in progress.
std::optional<std::string> forced_problem(const Reader::Fields& f, const Settled& settled) {
    const int forced = f.forced;
    const std::string roster = std::to_string(forced);
    if (forced >= 0 && settled.rosters[forced] > 0) {
        return "forced roster " + roster + " is won by " + player_name(settled.rosters[forced]);
    }
    if (forced >= 0 && settled.rosters[forced] == ROSTER_DRAWN) return "forced roster " + roster + " is full";
    if (settled.open == 1) {
        // Every legal cell lies in the one open roster, whatever the last move named.
        const std::string open = std::to_string(settled.last_open);
        if (forced < 0) return "only roster " + open + " is open, so the forced roster must be written as " + open;
        return std::nullopt;
    }
    const int last_mover = 3 - f.to_move;
    if (forced < 0) return free_choice_problem(f, settled, last_mover);
    for (int r = 0; r < kRosters; ++r) {
        if (f.board[9 * r + forced] == last_mover) return std::nullopt;
    }
    return "forced roster " + roster + " needs a mark of " + player_name(last_mover) +
           ", who moved last, at position " + roster + " of some roster";
}

// Why a well-formed position cannot arise in a game, or nothing.
std::optional<std::string> unreachable(const Reader::Fields& f) {
    if (auto problem = count_problem(f)) return problem;
    Settled settled;
    if (auto problem = settle(f, settled)) return problem;
    int winner = 0;
    if (auto problem = winner_problem(f, settled, winner)) return problem;
    if (winner != 0 || settled.open == 0) {
        if (f.forced >= 0) return std::string{"the game is over, so the forced roster must be '-'"};
        return std::nullopt;
    }
    return forced_problem(f, settled);
}

}  // namespace

std::string notation(const Position& position) {
    const std::array<std::int8_t, kCells>& board = position.board();
    std::string text;
    text.reserve(96);
    for (int row = 0; row < 9; ++row) {
        if (row > 0) text += '/';
        int run = 0;
        for (int col = 0; col < 9; ++col) {
            const std::int8_t value = board[cell_at(row, col)];
            if (value == 1 || value == 2) {
                if (run > 0) text += static_cast<char>('0' + run);
                run = 0;
                text += mark_char(value);
            } else {
                ++run;
            }
        }
        if (run > 0) text += static_cast<char>('0' + run);
    }
    text += ' ';
    text += mark_char(position.to_move());
    text += ' ';
    const int forced = position.forced_roster();
    text += forced < 0 ? '-' : static_cast<char>('0' + forced);
    return text;
}

Result<Position> parse_notation(std::string_view text) {
    Reader::Fields fields;
    if (std::optional<Refusal> refusal = Reader(text).read(fields)) return std::move(*refusal);
    if (std::optional<std::string> reason = unreachable(fields)) return Refusal{std::move(*reason)};
    return Position::from_snapshot(fields.board, fields.to_move, fields.forced);
}

Result<std::string> cell_name(long long cell) {
    if (cell < 0 || cell >= kCells) return Refusal{cell_range_message(cell)};
    const int c = static_cast<int>(cell);
    return std::string{static_cast<char>('a' + cell_col(c)), static_cast<char>('9' - cell_row(c))};
}

Result<int> cell_index(std::string_view name) {
    if (name.size() == 2 && name[0] >= 'a' && name[0] <= 'i' && name[1] >= '1' && name[1] <= '9') {
        return cell_at('9' - name[1], name[0] - 'a');
    }
    std::string quoted;
    for (const char c : name.substr(0, 16)) {
        const auto byte = static_cast<unsigned char>(c);
        quoted += printable(byte) && c != '"' && c != '\\' ? std::string(1, c) : "\\x" + hex_byte(byte);
    }
    if (name.size() > 16) quoted += "...";
    return Refusal{"a cell name is a column a-i and a row 1-9, such as e5; got \"" + quoted + "\""};
}

}  // namespace nonagame
