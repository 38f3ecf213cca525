// The match runner: plays whole games between two Player objects and returns one State
// snapshot per turn. Plain Player objects move natively; instances of Python subclasses
// have their make_move method called with the game, while the runner holds no borrow.
#include "runner.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "fault_texts.hpp"
#include "nonagame_globals.hpp"
#include "player_type.hpp"
#include "state_type.hpp"
#include "utf8.hpp"

namespace nonagame::py {

namespace {

// A run stops when this many turns in a row leave the game without an accepted move:
// the players cannot bring it forward (ids that do not match their positions, or an
// override that does not move), and the loop would otherwise never end.
constexpr std::uint32_t kStallLimit = 100;
const std::string kStalled =
    "no move was accepted in " + std::to_string(kStallLimit) +
    " consecutive turns: the game cannot go on (do the players' ids match their positions, "
    "and does every make_move override make a move?)";

// Snapshots of one game: at most 81 turns when every turn moves.
constexpr std::size_t kTurnsPerGame = 81;

constexpr Params<3> kPlayGameParams{"play_game()", {"player1", "player2", "game"}};
constexpr Params<3> kPlayMultipleParams{"play_multiple_games()",
                                        {"player1", "player2", "number_of_games"}};

PyObject* make_move_name() {
    PyObject*& name = g_nonagame.make_move_name;
    if (name == nullptr) name = Ref::checked(PyUnicode_InternFromString("make_move")).release();
    return name;
}

// Prints an exception with its traceback through sys.excepthook, as PyErr_PrintEx(0)
// does, but never ends the process: PyErr_PrintEx exits when the exception, or an error
// raised by the hook, is a SystemExit. A failing hook is reported like PyErr_PrintEx does.
void print_exception(PyObject* type, PyObject* value, PyObject* traceback) {
    const Ref hook = Ref::borrow(PySys_GetObject("excepthook"));  // the hook may replace itself
    if (hook && hook.get() != Py_None) {
        const Ref result = Ref::steal(PyObject_CallFunctionObjArgs(
            hook.get(), type, value, traceback != nullptr ? traceback : Py_None, nullptr));
        if (result) return;
        const PendingError hook_error;
        PySys_WriteStderr("Error in sys.excepthook:\n");
        PyErr_Display(hook_error.type(), hook_error.value(), hook_error.traceback());
        PySys_WriteStderr("\nOriginal exception was:\n");
    } else {
        PySys_WriteStderr("sys.excepthook is missing\n");
    }
    PyErr_Display(type, value, traceback);
}

// A PanicException raised by Python code continues as a fault of the native code with
// the same text, after its traceback has been printed to standard error.
[[noreturn]] void resume_panic(const PendingError& panic) {
    std::string text = object_text_or(panic.value(), kPythonPanic);
    PySys_WriteStderr(
        "A PanicException raised by Python code is resumed as a fault of the native code.\n");
    PySys_WriteStderr("Python stack trace below:\n");
    print_exception(panic.type(), panic.value(), panic.traceback());
    throw Fault(text);
}

// Turns the Python error raised by a make_move override (or by looking it up) into the
// runner's fault: "called `Result::unwrap()` on an `Err` value: Type: value (traceback: ...)".
[[noreturn]] void fail_from_python() {
    PendingError error;
    PyObject* panic = panic_type();
    if (panic == nullptr) PyErr_Clear();
    if (panic != nullptr && error.matches(panic)) resume_panic(error);
    const std::string traceback_text = object_text_or(error.traceback(), "None", TextForm::repr);
    error.restore();
    throw Fault(std::string(kUnwrapErr) + describe_current_error() + " (traceback: " + traceback_text +
                ")");
}

// The default move of a plain Player, with no Python attribute lookup.
void native_turn(PyObject* mover, GameBody& game) {
    MoveOutcome outcome;
    {
        PlayerBody& player = Instance<PlayerBody>::of(mover);
        ExclusiveBorrow player_borrow(player.borrow, kRunnerBusy);
        ExclusiveBorrow game_borrow(game.borrow, kAlreadyBorrowed);
        outcome = play_default_move(player.record, game.record);
    }
    if (!outcome.accepted) report_refused_move(outcome.error);
}

// Calls mover.make_move(game); no borrow is held while the Python code runs.
void python_turn(PyObject* mover, PyObject* game_object) {
    Ref method = Ref::steal(PyObject_GetAttr(mover, make_move_name()));
    if (!method) fail_from_python();
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), game_object));
    if (!result) fail_from_python();
}

// Room for one more game without giving up geometric growth.
void make_room(std::vector<Ref>& snapshots) {
    const std::size_t wanted = snapshots.size() + kTurnsPerGame;
    if (snapshots.capacity() < wanted) snapshots.reserve(std::max(wanted, 2 * snapshots.capacity()));
}

// Plays game_object to its end and appends one snapshot per turn. The winner is credited
// by position, in its native record (never through an increment_wins override), and only
// when this run played a turn.
void run_game(PyObject* player1, PyObject* player2, PyObject* game_object,
              std::vector<Ref>& snapshots) {
    // Python code run by an override may drop every other reference to these objects.
    const Ref keep_player1 = Ref::borrow(player1), keep_player2 = Ref::borrow(player2);
    const Ref keep_game = Ref::borrow(game_object);
    PyTypeObject* const plain = player_type();
    GameBody& game = Instance<GameBody>::of(game_object);
    make_room(snapshots);

    // The seat to move: player1 while odd, player2 while even; starts as the record's next player.
    std::int8_t seat_to_move = 0;
    {
        ExclusiveBorrow borrow(game.borrow, kRunnerBusy);
        seat_to_move = game.record.next_player;
    }
    std::uint64_t turns = 0;
    std::uint32_t stalled = 0;
    for (;;) {
        std::uint32_t accepted_before = 0;
        {
            ExclusiveBorrow borrow(game.borrow, kRunnerBusy);
            if (game.record.finished) break;
            accepted_before = game.record.moves_accepted;
        }
        const bool first = seat_to_move % 2 == 1;
        PyObject* const mover = first ? player1 : player2;
        if (Py_TYPE(mover) == plain) native_turn(mover, game);
        else python_turn(mover, game_object);
        seat_to_move = first ? 2 : 1;
        ++turns;

        const GameRecord record = [&] {
            SharedBorrow borrow(game.borrow, kMutablyBorrowed);
            return game.record;
        }();
        stalled = record.moves_accepted == accepted_before ? stalled + 1 : 0;
        if (stalled == kStallLimit) raise(PyExc_RuntimeError, kStalled);
        snapshots.push_back(Ref::steal(make_snapshot(record)));
    }
    if (turns == 0) return;  // an already finished game was credited when it ended

    std::int8_t winner = 0;
    {
        ExclusiveBorrow borrow(game.borrow, kRunnerBusy);
        winner = game.record.winner;
    }
    PyObject* const credited = winner == 1 ? player1 : winner == 2 ? player2 : nullptr;
    if (credited != nullptr) {
        PlayerBody& player = Instance<PlayerBody>::of(credited);
        ExclusiveBorrow borrow(player.borrow, kRunnerBusy);
        ++player.record.wins;
    }
}

PyObject* to_list(std::vector<Ref>& snapshots) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(snapshots.size())));
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), snapshots[i].release());
    }
    return list.release();
}

void check_players(PyObject* player1, PyObject* player2) {
    PyTypeObject* const type = player_type();
    to_instance<PyObject>(player1, type, "Player", "player1");
    to_instance<PyObject>(player2, type, "Player", "player2");
}

PyObject* play_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        auto [player1, player2, game] = parse(kPlayGameParams, args, nargs, kwnames);
        check_players(player1, player2);
        to_instance<PyObject>(game, game_type(), "Game", "game");
        std::vector<Ref> snapshots;
        run_game(player1, player2, game, snapshots);
        return to_list(snapshots);
    });
}

PyObject* play_multiple_games(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return entry([&] {
        auto [player1, player2, count_object] = parse(kPlayMultipleParams, args, nargs, kwnames);
        check_players(player1, player2);
        if (!PyLong_Check(count_object)) fail_conversion(count_object, "PyInt", "number_of_games");
        std::uint32_t count = 0;
        try {
            count = to_u32(count_object, "number_of_games");
        } catch (const ErrorSet&) {
            throw Fault(describe_current_error() + std::string(kTooManyGames));
        }
        std::vector<Ref> snapshots;
        for (std::uint32_t i = 0; i < count; ++i) {
            // A long series of native games runs no Python code: let Ctrl-C through here.
            if (i > 0 && PyErr_CheckSignals() < 0) throw ErrorSet{};
            Ref game = Ref::steal(wrap_game(new_game(0, false)));
            run_game(player1, player2, game.get(), snapshots);
        }
        return to_list(snapshots);
    });
}

PyMethodDef kPlayGame = {
    "play_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_game)),
    METH_FASTCALL | METH_KEYWORDS,
    "play_game(player1, player2, game)\n--\n\nPlay one game between two player objects.\n"
    "Delegates to overridden make_move method if it exists.\n\nTodo: add caching for speeding "
    "up perhaps?"};

PyMethodDef kPlayMultipleGames = {
    "play_multiple_games",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_multiple_games)),
    METH_FASTCALL | METH_KEYWORDS,
    "play_multiple_games(player1, player2, number_of_games)\n--\n\nPlay multiple games in a "
    "single-threaded environment"};

}  // namespace

PyMethodDef* play_game_definition() { return &kPlayGame; }
PyMethodDef* play_multiple_games_definition() { return &kPlayMultipleGames; }

}  // namespace nonagame::py
