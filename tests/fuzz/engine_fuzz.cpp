// libFuzzer target for the engine: turns a byte stream into a sequence of engine operations
// on two games and a few checkpoint slots, and checks the engine's invariants after every
// step. A violated invariant aborts with a message; memory and undefined-behaviour faults
// are caught by the sanitizers the target is built with.
//
// Operations: moves with any cell and any player, moves chosen from the listed cells,
// checkpoint saves and loads (into the same or the other game), checkpoints built from
// arbitrary positions, settling, the text forms, and moves of the default player. The fast
// simulation paths are held to the checked ones along the way: play_legal to make_move on
// every listed move of a sound game, play_random_to_end to the loop of make_move it stands for
// when the text forms are drawn, and the k-th legal cell on both selection paths always.
//
// A game is "sound" while every position it held came from ordinary play or from a
// checkpoint built with player 1 or 2 to move; a player id outside 1..2 to move makes
// the engine follow its rules with that id, which keeps it memory-safe but not
// meaningful. Sound games are held to the rules themselves: the listed cells are exactly
// the cells a move by the player to move is accepted in, and the record agrees with its
// board.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "board.hpp"
#include "checkpoint.hpp"
#include "fault.hpp"
#include "outcome.hpp"
#include "place.hpp"
#include "player/player.hpp"
#include "playout.hpp"
#include "text.hpp"

using namespace nonagame;

namespace {

static_assert(std::is_trivially_copyable_v<GameRecord>, "records are compared byte for byte");

[[noreturn]] void fail(const char* what, int detail) {
    std::fprintf(stderr, "engine invariant violated: %s (%d)\n", what, detail);
    std::abort();
}

void check(bool condition, const char* what, int detail = 0) {
    if (!condition) fail(what, detail);
}

// The byte stream; reads past the end give zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::int8_t signed_byte() { return static_cast<std::int8_t>(byte()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Game {
    GameRecord record;
    bool sound = true;
};

struct Slot {
    CheckpointRecord record;
    bool filled = false;
    bool sound = true;
};

// The owner (1 or 2) of a complete line among nine values, else 0; player 1 first.
int line_owner(const std::int8_t* group) {
    static constexpr int kLines[8][3] = {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {0, 3, 6},
                                         {1, 4, 7}, {2, 5, 8}, {0, 4, 8}, {2, 4, 6}};
    for (const int player : {1, 2}) {
        for (const auto& line : kLines) {
            if (group[line[0]] == player && group[line[1]] == player && group[line[2]] == player) {
                return player;
            }
        }
    }
    return 0;
}

bool is_mark(int value) { return value == 1 || value == 2; }

bool has_line(const std::int8_t* group, int player) {
    std::array<std::int8_t, 9> only{};
    for (int p = 0; p < 9; ++p) only[static_cast<std::size_t>(p)] = group[p] == player ? 1 : 0;
    return line_owner(only.data()) == 1;
}

// Invariants of every record, sound or not.
void check_any(const GameRecord& game) {
    // Available cells are empty cells of rosters that are still open.
    game.available.for_each([&](int cell) {
        check(cell >= 0 && cell < kCells, "available cell out of range", cell);
        check(game.board[cell] == 0, "available cell is not empty", cell);
        check(game.rosters[cell / 9] < 0, "available cell in a decided roster", cell);
    });
    check(!game.finished || game.available.empty(), "finished with cells available");
    check(game.winner == 0 || game.available.empty(), "won with cells available", game.winner);

    // The listed cells: ascending, available, and confined to an open forced roster.
    const CellList listed = get_available_moves(game);
    const int target = game.next_roster;
    const bool forced = target >= 0 && target < kRosters && game.rosters[target] < 0;
    int previous = -1;
    int expected = 0;
    game.available.for_each([&](int cell) { expected += !forced || cell / 9 == target; });
    check(listed.size() == expected, "listed count differs from the available cells", listed.size());
    for (const std::int8_t cell : listed) {
        check(cell > previous, "listed cells not ascending", cell);
        check(game.available.contains(cell), "listed cell not available", cell);
        check(!forced || cell / 9 == target, "listed cell outside the forced roster", cell);
        previous = cell;
    }

    // The masks follow the board and the rosters, and the fast paths list the same cells.
    check(masks_in_sync(game), "masks differ from the board");
    const CellSet legal = legal_cells(game);
    for (int k = 0; k < listed.size(); ++k) {
        const std::int8_t cell = listed.cells[static_cast<std::size_t>(k)];
        check(nth_legal_cell(game, k) == cell, "nth_legal_cell differs from the list", k);
        check(nth_cell(legal, k, SelectPath::Portable) == cell, "portable selection differs", k);
        if (pdep_supported()) check(nth_cell(legal, k, SelectPath::Pdep) == cell, "pdep selection differs", k);
    }
}

// The record agrees with its board, as ordinary play and sound checkpoints keep it.
void check_sound(const GameRecord& game) {
    check(game.next_player == 1 || game.next_player == 2, "player to move", game.next_player);
    for (int cell = 0; cell < kCells; ++cell) {
        check(game.board[cell] >= 0 && game.board[cell] <= 2, "board value", game.board[cell]);
    }
    const int board_winner = line_owner(game.rosters.data());
    check(game.winner == board_winner, "winner differs from the rosters' line", game.winner);
    for (int roster = 0; roster < kRosters; ++roster) {
        const std::int8_t status = game.rosters[roster];
        const std::int8_t* cells = game.board.data() + 9 * roster;
        int empty = 0;
        for (int p = 0; p < 9; ++p) empty += cells[p] == 0;
        if (is_mark(status)) {
            check(has_line(cells, status), "won roster without its owner's line", roster);
        } else if (status == ROSTER_DRAWN) {
            check(empty == 0 && line_owner(cells) == 0, "drawn roster not full or with a line", roster);
        } else {
            check(status == ROSTER_OPEN, "roster status", status);
            check(line_owner(cells) == 0, "open roster with a line", roster);
            check(empty > 0, "open roster without an empty cell", roster);
        }
        for (int p = 0; p < 9; ++p) {
            const int cell = 9 * roster + p;
            // Unless the board is won, exactly the empty cells of open rosters are available.
            const bool free = board_winner == 0 && cells[p] == 0 && status == ROSTER_OPEN;
            check(game.available.contains(cell) == free, "available set differs from the board", cell);
        }
    }
    check(game.available.empty() || get_available_moves(game).size() > 0, "cells available but none listed");
}

// Plays cell for player and checks the outcome against the record before the move.
void move(Game& game, std::int8_t cell, std::int8_t player) {
    GameRecord before;
    std::memcpy(&before, &game.record, sizeof before);
    const CellList listed = get_available_moves(game.record);
    bool was_listed = false;
    for (const std::int8_t c : listed) was_listed |= c == cell;
    const bool out_of_range = static_cast<std::uint8_t>(cell) >= kCells;
    const bool right_player = player == before.next_player;

    // A listed cell of a sound game, by the player to move: play_legal must end where
    // make_move does, byte for byte.
    const bool fast_too = game.sound && was_listed && right_player;
    GameRecord fast;
    std::memcpy(&fast, &before, sizeof fast);
    if (fast_too) play_legal(fast, cell);

    MoveOutcome outcome;
    try {
        outcome = make_move(game.record, cell, player);
    } catch (const Fault&) {
        // Only an out-of-range cell may fault, and only once the player and the game's
        // state have been accepted; the record is untouched.
        check(out_of_range && right_player && !before.available.empty(), "unexpected fault", cell);
        check(std::memcmp(&before, &game.record, sizeof before) == 0, "fault changed the record", cell);
        return;
    }
    check(!(out_of_range && right_player && !before.available.empty()), "out-of-range cell did not fault",
          cell);

    if (!outcome.accepted) {
        check(std::memcmp(&before, &game.record, sizeof before) == 0, "refused move changed the record", cell);
        check((outcome.error.kind == MoveErrorKind::WrongPlayer) == !right_player, "refusal kind", player);
        if (!right_player) {
            check(outcome.error.message == "Expected player: " + std::to_string(before.next_player) +
                                               ", but got player " + std::to_string(player),
                  "wrong-player message", player);
        }
        check(outcome.error.text() == "ERROR: Invalid move error - " + outcome.error.message, "error text");
        if (game.sound) check(!(right_player && was_listed), "listed cell refused", cell);
        return;
    }

    const GameRecord& after = game.record;
    if (fast_too) check(std::memcmp(&fast, &after, sizeof fast) == 0, "play_legal differs from make_move", cell);
    check(right_player && !out_of_range, "accepted move of a wrong player or cell", cell);
    if (game.sound) check(was_listed, "unlisted cell accepted", cell);
    check(after.board[cell] == player, "mark not written", cell);
    check(after.next_player == (player == 1 ? 2 : 1), "turn not passed", after.next_player);
    check(after.next_roster == cell % 9, "next roster", after.next_roster);
    check(!after.available.contains(cell), "played cell still available", cell);
    check(after.moves_accepted == before.moves_accepted + 1, "move count");
    check(after.id == before.id && after.log_enabled == before.log_enabled, "identity fields changed");
    check(outcome.cells_remain == !after.available.empty(), "cells_remain", outcome.cells_remain);
    check(after.finished == after.available.empty(), "finished after a move", after.finished);
    for (int c = 0; c < kCells; ++c) {
        check(c == cell || after.board[c] == before.board[c], "other cell changed", c);
    }
    for (int r = 0; r < kRosters; ++r) {
        // Only the roster played in can change status, and a decided roster stays decided.
        if (r != cell / 9) check(after.rosters[r] == before.rosters[r], "other roster changed", r);
        if (is_mark(before.rosters[r])) check(after.rosters[r] == before.rosters[r], "won roster changed", r);
    }
    // The available set only shrinks during play.
    after.available.for_each([&](int c) { check(before.available.contains(c), "available grew", c); });
}

void load(Game& game, const Slot& slot) {
    const GameRecord before = game.record;
    const CheckpointRecord copy = slot.record;
    load_checkpoint(game.record, slot.record);
    const GameRecord& after = game.record;
    check(std::memcmp(&copy, &slot.record, sizeof copy) == 0, "load changed the checkpoint");
    check(after.board == slot.record.board && after.rosters == slot.record.rosters &&
              after.available == slot.record.available && after.next_player == slot.record.next_player &&
              after.next_roster == slot.record.next_roster,
          "loaded position differs");
    check(after.id == before.id && after.log_enabled == before.log_enabled &&
              after.moves_accepted == before.moves_accepted,
          "load changed the game's own fields");
    check(after.finished == after.available.empty(), "finished after a load");
    check(after.winner == winner_of_rosters(after.rosters), "winner after a load", after.winner);
    check(after.winner == line_owner(after.rosters.data()), "winner of rosters", after.winner);
    game.sound = slot.sound;
}

void save(const Game& game, Slot& slot) {
    slot.record = make_checkpoint(game.record);
    slot.filled = true;
    slot.sound = game.sound;
    check(slot.record.odds == std::array<double, 3>{-1.0, -1.0, -1.0}, "odds of a new checkpoint");
    check(slot.record.board == game.record.board && slot.record.rosters == game.record.rosters &&
              slot.record.available == game.record.available &&
              slot.record.next_player == game.record.next_player &&
              slot.record.next_roster == game.record.next_roster,
          "checkpoint differs from its game");
}

// 81 board values: two bits a cell (0, 1, 2, or a byte of its own) or a raw byte a cell.
std::array<std::int8_t, kCells> read_board(Input& in, bool raw) {
    std::array<std::int8_t, kCells> board{};
    if (raw) {
        for (auto& value : board) value = in.signed_byte();
        return board;
    }
    for (int cell = 0; cell < kCells; cell += 4) {
        const std::uint8_t packed = in.byte();
        for (int k = 0; k < 4 && cell + k < kCells; ++k) {
            const int code = (packed >> (2 * k)) & 3;
            board[static_cast<std::size_t>(cell + k)] = code < 3 ? static_cast<std::int8_t>(code) : in.signed_byte();
        }
    }
    return board;
}

void from_position(Input& in, Slot& slot, bool raw) {
    const std::array<std::int8_t, kCells> board = read_board(in, raw);
    const std::int8_t player = in.signed_byte();
    const std::int8_t next_roster = in.signed_byte();
    slot.record = checkpoint_from_position(board, player, next_roster);
    slot.filled = true;
    slot.sound = is_mark(player);
    const CheckpointRecord& c = slot.record;
    check(c.next_player == player && c.next_roster == next_roster, "position fields");
    check(c.odds == std::array<double, 3>{-1.0, -1.0, -1.0}, "odds of a built checkpoint");
    const int winner = [&] {
        std::array<std::int8_t, kRosters> rosters = c.rosters;
        return line_owner(rosters.data());
    }();
    for (int cell = 0; cell < kCells; ++cell) {
        check(c.board[cell] == (is_mark(board[cell]) ? board[cell] : 0), "built board", cell);
        const int roster = cell / 9;
        const bool free = winner == 0 && c.board[cell] == 0 && c.rosters[roster] == ROSTER_OPEN;
        check(c.available.contains(cell) == free, "built free set", cell);
    }
    for (int roster = 0; roster < kRosters; ++roster) {
        const std::int8_t* cells = c.board.data() + 9 * roster;
        int empty = 0;
        for (int p = 0; p < 9; ++p) empty += cells[p] == 0;
        const int owner = line_owner(cells);
        const int expected = owner != 0 ? owner : empty == 0 ? ROSTER_DRAWN : ROSTER_OPEN;
        check(c.rosters[roster] == expected, "built roster status", roster);
    }
}

// Re-settles a cell that holds a mark in an open roster of a game still in play, as after
// a move into it (the engine refuses moves once no cell is available).
void settle(Game& game, int cell) {
    GameRecord& g = game.record;
    const std::int8_t mark = g.board[cell];
    if (!is_mark(mark) || g.rosters[cell / 9] >= 0 || g.available.empty()) return;
    const std::int8_t winner = g.winner;
    const CellSet available = g.available;
    settle_move(g, mark, cell);
    check(winner == 0 || g.winner == winner, "settling changed the winner", g.winner);
    g.available.for_each([&](int c) { check(available.contains(c), "settling made cells available", c); });
}

std::size_t utf8_length(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The grid: 17 lines; for ordinary contents 35 characters each, showing every cell (a won
// roster filled with its winner's mark).
void check_grid(const GameRecord& game, const std::string& grid) {
    std::array<std::string_view, 17> lines{};
    std::size_t start = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i <= grid.size(); ++i) {
        if (i == grid.size() || grid[i] == '\n') {
            check(count < lines.size(), "grid has too many lines", static_cast<int>(count));
            lines[count++] = std::string_view(grid).substr(start, i - start);
            start = i + 1;
        }
    }
    check(count == lines.size(), "grid line count", static_cast<int>(count));
    bool ordinary = true;
    for (const std::int8_t v : game.board) ordinary &= v >= 0 && v <= 2;
    for (const std::int8_t s : game.rosters) ordinary &= s >= -1 && s <= 2;
    if (!ordinary) return;
    for (int n = 0; n < 17; ++n) {
        check(utf8_length(lines[static_cast<std::size_t>(n)]) == 35, "grid line width", n);
        if (n % 2 != 0) continue;
        const int row = n / 2;
        const std::string_view line = lines[static_cast<std::size_t>(n)];
        // Cell texts start at characters 0, 4, 8, 12, ...: each cell is three ASCII characters
        // followed by a three-byte separator.
        for (int column = 0; column < 9; ++column) {
            const std::size_t at = static_cast<std::size_t>(column) * 6;
            const int cell = 27 * (row / 3) + 9 * (column / 3) + 3 * (row % 3) + column % 3;
            const int status = game.rosters[cell / 9];
            const int shown = is_mark(status) ? status : game.board[cell];
            const char mark = shown == 1 ? 'O' : shown == 2 ? 'X' : ' ';
            check(line.substr(at, 3) == std::string{' ', mark, ' '}, "grid cell", cell);
        }
    }
}

// play_random_to_end on a copy of a sound game, on the path chosen by parity, against the loop
// of make_move over the listed cells that draws the same indices.
void check_play_random_to_end(const Game& game, std::uint64_t stream) {
    if (!game.sound) return;
    set_select_path(stream % 2 == 0 || !pdep_supported() ? SelectPath::Portable : SelectPath::Pdep);
    GameRecord fast;
    GameRecord checked;
    std::memcpy(&fast, &game.record, sizeof fast);
    std::memcpy(&checked, &game.record, sizeof checked);
    Rng fast_rng(stream);
    Rng checked_rng(stream);
    const std::int8_t winner = play_random_to_end(fast, fast_rng);
    while (!checked.available.empty()) {
        const CellList listed = get_available_moves(checked);
        check(listed.size() > 0, "cells available but none listed in a playout");
        const std::uint32_t k = checked_rng.below(static_cast<std::uint32_t>(listed.size()));
        check(make_move(checked, listed.cells[k], checked.next_player).accepted, "playout move refused");
    }
    check(std::memcmp(&fast, &checked, sizeof fast) == 0, "play_random_to_end differs from make_move");
    check(winner == checked.winner && fast_rng.next() == checked_rng.next(), "play_random_to_end draws");
    set_select_path(default_select_path());
}

void render(const Game& game, const Slot& slot) {
    check_grid(game.record, render_board(game.record));

    const std::string set = multiline_set(game.record.available);
    if (game.record.available.empty()) {
        check(set == "{}", "text of the empty set");
    } else {
        std::string expected = "{\n";
        game.record.available.for_each([&](int cell) { expected += "    " + std::to_string(cell) + ",\n"; });
        check(set == expected + "}", "text of the set");
    }

    if (!slot.filled) return;
    const std::string text = checkpoint_text(slot.record);
    const std::size_t grid_end = text.find("\nnext player: ");
    check(grid_end != std::string::npos, "checkpoint text without the player line");
    GameRecord scratch = new_game(0, false);
    load_checkpoint(scratch, slot.record);
    check_grid(scratch, text.substr(0, grid_end));
    std::string rosters;
    for (const std::int8_t s : slot.record.rosters) rosters += (rosters.empty() ? "" : ", ") + std::to_string(s);
    check(text.substr(grid_end) == "\nnext player: " + std::to_string(slot.record.next_player) +
                                       "\nnext roster: " + std::to_string(slot.record.next_roster) +
                                       "\nrosters: [" + rosters + "]\nodds: [-1.0, -1.0, -1.0]",
          "checkpoint text fields");
}

// The shortest round-trip text of any double.
void format(Input& in) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= std::uint64_t{in.byte()} << (8 * i);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    const std::string text = format_double(value);
    if (std::isnan(value)) {
        check(text == "NaN", "text of NaN");
        return;
    }
    if (std::isinf(value)) {
        check(text == (value < 0 ? "-inf" : "inf"), "text of infinity");
        return;
    }
    char* end = nullptr;
    const double back = std::strtod(text.c_str(), &end);
    check(end == text.c_str() + text.size(), "number text does not parse");
    check(std::memcmp(&back, &value, sizeof back) == 0, "number text does not read back");
    const double magnitude = std::fabs(value);
    const bool exponent = magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16);
    check((text.find('e') != std::string::npos) == exponent, "exponent form");
    if (!exponent) check(text.find('.') != std::string::npos, "fractional part missing");
}

void default_player(Input& in, Game& game, const PlayerRecord& one, const PlayerRecord& two) {
    const PlayerRecord& player = in.byte() & 1 ? two : one;
    const CellList listed = get_available_moves(game.record);
    const GameRecord before = game.record;
    MoveOutcome outcome;
    try {
        outcome = play_default_move(player, game.record);
    } catch (const Fault& fault) {
        check(listed.size() == 0 && fault.text() == "first attempt", "default player fault", listed.size());
        check(std::memcmp(&before, &game.record, sizeof before) == 0, "fault changed the record");
        return;
    }
    check(listed.size() > 0, "default player moved with nothing listed");
    // A listed cell is always playable for the player to move.
    check(outcome.accepted == (player.id == before.next_player), "default player outcome", player.id);
}

void create_player(Input& in) {
    const std::int8_t id = in.signed_byte();
    try {
        const PlayerRecord player = new_player(id);
        check(is_mark(id) && player.id == id && player.wins == 0, "player created", id);
    } catch (const Fault& fault) {
        check(!is_mark(id) && fault.text() == "ID SHOULD BE EQUAL TO 1 OR 2", "player id fault", id);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const PlayerRecord one = new_player(1);
    static const PlayerRecord two = new_player(2);
    Input in(data, size);
    std::array<Game, 2> games{Game{new_game(1, false)}, Game{new_game(2, false)}};
    std::array<Slot, 4> slots{};
    for (int step = 0; !in.done() && step < 4096; ++step) {
        const std::uint8_t op = in.byte();
        const std::size_t which = (op >> 4) & 1;
        Game& game = games[which];
        Slot& slot = slots[op >> 6];
        const std::array<std::int8_t, 2> winners{games[0].record.winner, games[1].record.winner};
        GameRecord untouched;
        std::memcpy(&untouched, &games[1 - which].record, sizeof untouched);
        bool replaced = false;  // the game's position was replaced: its winner may change
        switch (op & 0x0F) {
            case 0: case 1: case 2: case 3: {  // a listed cell, by the player to move
                const CellList listed = get_available_moves(game.record);
                const std::uint8_t pick = in.byte();
                const std::int8_t cell = listed.size() > 0 ? listed.cells[pick % listed.size()]
                                                           : static_cast<std::int8_t>(pick);
                move(game, cell, game.record.next_player);
                break;
            }
            case 4: move(game, in.signed_byte(), game.record.next_player); break;
            case 5: {
                const std::int8_t cell = in.signed_byte();
                move(game, cell, in.signed_byte());
                break;
            }
            case 6: save(game, slot); break;
            case 7:
                if (slot.filled) {
                    load(game, slot);
                    replaced = true;
                }
                break;
            case 8: case 9: {
                const bool into_game = in.byte() & 1;
                from_position(in, slot, (op & 0x0F) == 9);
                if (into_game) {
                    load(game, slot);
                    replaced = true;
                }
                break;
            }
            case 10: settle(game, in.byte() % kCells); break;
            case 11:
                render(game, slot);
                check_play_random_to_end(game, static_cast<std::uint64_t>(step));
                break;
            case 12: default_player(in, game, one, two); break;
            case 13: create_player(in); break;
            case 14: format(in); break;
            case 15: {  // a fresh game, or a copy of the other one
                const std::uint8_t how = in.byte();
                game = how & 1 ? games[1 - which] : Game{new_game(how, false)};
                replaced = true;
                break;
            }
        }
        // Operations change only the game they name.
        const std::size_t other = 1 - which;
        check(std::memcmp(&games[other].record, &untouched, sizeof untouched) == 0, "the other game changed");
        const GameRecord& g = game.record;
        if (winners[which] != 0 && !replaced) check(g.winner == winners[which], "winner changed", g.winner);
        check_any(g);
        if (game.sound) check_sound(g);
    }
    return 0;
}
