// The Player class. Instances of Player itself make the default (uniformly random) move;
// Python subclasses override make_move and are called back by the match runner.
#include "player_type.hpp"

#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "nonagame_globals.hpp"
#include "python_stdout.hpp"

namespace nonagame::py {

namespace {

PlayerBody& body(PyObject* self) { return Instance<PlayerBody>::of(self); }

constexpr Params<1> kNewParams{"Player.__new__()", {"id"}};
constexpr Params<1> kMakeMoveParams{"Player.make_move()", {"game"}};

PyObject* player_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        auto [id] = parse(kNewParams, args, kwargs);
        const PlayerRecord record = new_player(to_i8(id, "id"));
        // type may be a Python subclass: its tp_alloc adds the dict, weakref and GC parts.
        return allocate<PlayerBody>(type, BorrowState{}, record);
    });
}

PyObject* make_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        auto [game_arg] = parse(kMakeMoveParams, args, nargs, kwnames);
        PyObject* game_object = to_instance<PyObject>(game_arg, game_type(), "Game", "game");
        MoveOutcome outcome;
        {
            PlayerBody& player = body(self);
            SharedBorrow borrow(player.borrow);
            GameBody& game = Instance<GameBody>::of(game_object);
            ExclusiveBorrow game_borrow(game.borrow, kAlreadyBorrowed);
            outcome = play_default_move(player.record, game.record);
        }
        // Printing runs Python code, so both borrows are given back first.
        if (!outcome.accepted) report_refused_move(outcome.error);
        Py_RETURN_NONE;
    });
}

PyObject* increment_wins(PyObject* self, PyObject*) {
    return entry([&]() -> PyObject* {
        PlayerBody& player = body(self);
        SharedBorrow borrow(player.borrow);
        ++player.record.wins;  // wraps, as an unsigned 32-bit counter
        Py_RETURN_NONE;
    });
}

PyObject* get_wins(PyObject* self, PyObject*) {
    return entry([&] {
        const std::uint32_t wins = [&] {
            SharedBorrow borrow(body(self).borrow);
            return body(self).record.wins;
        }();
        return PyLong_FromUnsignedLong(wins);
    });
}

PyMethodDef kMethods[] = {
    {"make_move", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_move)),
     METH_FASTCALL | METH_KEYWORDS,
     "make_move($self, game)\n--\n\nMake a move with the current player.\nThe default "
     "implementation is naive (makes a random move).\n\nOverride this method to have your "
     "custom heuristic."},
    {"increment_wins", increment_wins, METH_NOARGS,
     "increment_wins($self)\n--\n\nIncrement the number of wins for a player by one."},
    {"get_wins", get_wins, METH_NOARGS,
     "get_wins($self)\n--\n\nGet the total number of wins for a player."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(player_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PlayerBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Player(id)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.Player", sizeof(Instance<PlayerBody>), 0,
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace

PyTypeObject* player_type() { return type_once(g_nonagame.player_type, kSpec, "Player"); }

void report_refused_move(const MoveError& error) { write_stdout(error.text() + "\n"); }

}  // namespace nonagame::py
