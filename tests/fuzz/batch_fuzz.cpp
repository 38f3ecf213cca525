// libFuzzer target for the batch of games behind VectorGames: the input is read as a
// sequence of operations (steps with cells that may be illegal, random moves, playouts,
// resets and loads) on a small batch. Every game is mirrored by a record driven through the
// engine's checked single-game API, and after each operation the batch's records and the
// arrays it publishes must agree with the mirrors.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "batch.hpp"
#include "fuzz_input.hpp"
#include "legal.hpp"

using namespace nonagame;

namespace {

void check(bool condition, const char* what, std::size_t game) {
    if (!condition) fuzz::fail("batch", what, "(game " + std::to_string(game) + ")");
}

struct Harness {
    explicit Harness(std::size_t n)
        : boards(81 * n), legal(81 * n), to_move(n), winner(n), done(n), moves(n), last(n),
          batch(n, 7, BatchArrays{boards.data(), legal.data(), to_move.data(), winner.data(), done.data(),
                                  moves.data(), last.data()}),
          mirrors(n, new_game(0, false)), marks(n, 0), last_cells(n, -1) {}

    std::vector<std::int8_t> boards;
    std::vector<std::uint8_t> legal;
    std::vector<std::int8_t> to_move, winner;
    std::vector<std::uint8_t> done;
    std::vector<std::int16_t> moves, last;
    Batch batch;
    std::vector<GameRecord> mirrors;
    std::vector<int> marks;
    std::vector<int> last_cells;  // -1 before the first move, after a reset or a load

    void check_game(std::size_t i) const {
        const GameRecord& mine = batch.game(i);
        const GameRecord& ref = mirrors[i];
        check(mine.board == ref.board, "board", i);
        check(mine.rosters == ref.rosters, "rosters", i);
        check(mine.available == ref.available, "available cells", i);
        check(mine.next_player == ref.next_player && mine.winner == ref.winner, "player or winner", i);
        const CellSet cells = legal_cells(ref);
        for (int c = 0; c < kCells; ++c) {
            check(boards[81 * i + c] == ref.board[c], "published board", i);
            check(legal[81 * i + c] == (cells.contains(c) ? 1 : 0), "published legal mask", i);
        }
        check(to_move[i] == ref.next_player, "published player", i);
        check(winner[i] == ref.winner, "published winner", i);
        check(done[i] == (ref.available.empty() ? 1 : 0), "published done", i);
        check(moves[i] == marks[i], "published move count", i);
        check(last[i] == last_cells[i], "published last move", i);
    }

    // A cell for game i: mostly a legal one, sometimes anything.
    int pick_cell(std::size_t i, fuzz::Input& in) const {
        const std::uint8_t kind = in.next();
        const GameRecord& game = mirrors[i];
        if (game.available.empty()) return kind % 16 == 0 ? in.next() % 83 - 1 : -1;
        if (kind % 16 == 0) return static_cast<int>(in.next()) - 2;  // -2..253
        const CellSet cells = legal_cells(game);
        return cells.nth(in.next() % cells.size());
    }

    void step(fuzz::Input& in) {
        std::vector<std::int16_t> cells(mirrors.size());
        std::optional<std::size_t> first_bad;
        for (std::size_t i = 0; i < mirrors.size(); ++i) {
            const int cell = pick_cell(i, in);
            cells[i] = static_cast<std::int16_t>(cell);
            const GameRecord& game = mirrors[i];
            const bool ok = game.available.empty() ? cell == -1
                                                   : cell >= 0 && cell < kCells && legal_cells(game).contains(cell);
            if (!ok && !first_bad) first_bad = i;
        }
        const std::optional<StepRefusal> error = batch.validate(cells.data());
        check(error.has_value() == first_bad.has_value(), "validation verdict", first_bad.value_or(0));
        if (error) {
            check(error->game == *first_bad && error->cell == cells[*first_bad] && !error->reason.empty(),
                  "validation names the first bad entry", *first_bad);
            return;
        }
        for (std::size_t i = 0; i < mirrors.size(); ++i) {
            if (cells[i] < 0) continue;
            const MoveOutcome outcome = make_move(mirrors[i], static_cast<std::int8_t>(cells[i]), mirrors[i].next_player);
            check(outcome.accepted, "a validated cell is accepted by make_move", i);
            ++marks[i];
            last_cells[i] = cells[i];
            batch.play(i, cells[i]);
        }
    }

    void play_random(std::size_t i) {
        const bool running = !mirrors[i].available.empty();
        const std::array<std::int8_t, kCells> before = batch.game(i).board;
        batch.play_random(i);
        if (!running) return;
        int played = -1;
        for (int c = 0; c < kCells; ++c) {
            if (before[c] != batch.game(i).board[c]) {
                check(played < 0, "one random move marks one cell", i);
                played = c;
            }
        }
        check(played >= 0, "a random move marks a cell", i);
        const MoveOutcome outcome = make_move(mirrors[i], static_cast<std::int8_t>(played), mirrors[i].next_player);
        check(outcome.accepted, "a random move is legal", i);
        ++marks[i];
        last_cells[i] = played;
    }

    void finish_at_random(std::size_t i) {
        const std::array<std::int8_t, kCells> before = batch.game(i).board;
        batch.finish_at_random(i);
        check(batch.game(i).available.empty(), "a playout ends the game", i);
        // The moves' order is not published: replay them in any order that the rules
        // accept would not be unique, so take the final record and check its consistency.
        const GameRecord& game = batch.game(i);
        int count = 0;
        for (const std::int8_t v : game.board) count += v != 0 ? 1 : 0;
        check(count >= marks[i], "a playout only adds marks", i);
        if (count > marks[i]) {
            // Its last move: a cell empty before it that holds a mark of the last mover now.
            const int cell = last[i];
            check(cell >= 0 && cell < kCells && before[cell] == 0 && game.board[cell] == 3 - game.next_player,
                  "a playout's last move is a new mark of the last mover", i);
            last_cells[i] = cell;
        }
        mirrors[i] = game;
        marks[i] = count;
    }

    void load(std::size_t i, fuzz::Input& in) {
        GameRecord record = new_game(0, false);
        Rng rng(in.next(), in.next());
        const int plies = in.next() % 82;
        int count = 0;
        for (int k = 0; k < plies && !record.available.empty(); ++k, ++count) play_random_move(record, rng);
        batch.load(i, record);
        mirrors[i] = record;
        marks[i] = count;
        last_cells[i] = -1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    Harness h(1 + in.next() % 6);
    const std::size_t n = h.mirrors.size();
    for (std::size_t i = 0; i < n; ++i) h.check_game(i);
    while (!in.empty()) {
        const std::uint8_t op = in.next();
        const std::size_t i = in.next() % n;
        switch (op % 6) {
            case 0:
            case 1: h.step(in); break;
            case 2:
                for (std::size_t g = 0; g < n; ++g) h.play_random(g);
                break;
            case 3: h.finish_at_random(i); break;
            case 4:
                h.batch.reset(i);
                h.mirrors[i] = new_game(0, false);
                h.marks[i] = 0;
                h.last_cells[i] = -1;
                break;
            default: h.load(i, in); break;
        }
        for (std::size_t g = 0; g < n; ++g) h.check_game(g);
    }
    return 0;
}
