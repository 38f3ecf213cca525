// The Game class: one engine game played move by move from Python.
#include "game_type.hpp"

#include <array>
#include <optional>
#include <string>

#include "args.hpp"
#include "checkpoint_type.hpp"
#include "convert.hpp"
#include "nonagame_globals.hpp"
#include "state_type.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace nonagame::py {

namespace {

GameBody& body(PyObject* self) { return Instance<GameBody>::of(self); }

constexpr Params<1> kNewParams{"Game.__new__()", {"id"}};
constexpr Params<2> kMakeMoveParams{"Game.make_move()", {"input", "player_id_authentication"}};
constexpr Params<1> kLoadParams{"Game.load_checkpoint()", {"checkpoint"}};

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        auto [id] = parse(kNewParams, args, kwargs);
        const std::uint32_t game_id = to_u32(id, "id");
        return allocate<GameBody>(type, BorrowState{}, new_game(game_id, false));
    });
}

PyObject* get_available_moves(PyObject* self, PyObject*) {
    return entry([&] {
        // The engine's list is this set in ascending order. The copy is taken under the
        // borrow, which is given back before the list is made: creating a list can start a
        // garbage collection that runs Python code, which may use this game.
        const CellSet cells = [&] {
            SharedBorrow borrow(body(self).borrow);
            return legal_cells(body(self).record);
        }();
        Ref list = Ref::checked(PyList_New(cells.size()));
        Py_ssize_t i = 0;
        cells.for_each([&](int cell) { PyList_SET_ITEM(list.get(), i++, new_cell_int(cell)); });
        return list.release();
    });
}

PyObject* make_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        auto [input, player] = parse(kMakeMoveParams, args, nargs, kwnames);
        GameBody& game = body(self);
        std::optional<MoveOutcome> outcome;  // nothing when an argument is out of range
        {
            // The arguments are converted under the borrow: an __index__ method is Python
            // code that the module calls, and it must find the game busy.
            ExclusiveBorrow borrow(game.borrow);
            const std::optional<std::int8_t> cell = to_i8_if_in_range(input, "input");
            const std::optional<std::int8_t> player_id =
                cell ? to_i8_if_in_range(player, "player_id_authentication") : std::nullopt;
            if (player_id) outcome = nonagame::make_move(game.record, *cell, *player_id);
        }
        if (!outcome) raise(PyExc_OverflowError, kOutOfRange);
        if (!outcome->accepted) raise(PyExc_ValueError, outcome->error.text());
        return PyBool_FromLong(outcome->cells_remain);
    });
}

PyObject* get_winner(PyObject* self, PyObject*) {
    return entry([&] { return PyLong_FromLong(nonagame::get_winner(game_record(self))); });
}

PyObject* game_str(PyObject* self) {
    return entry([&] {
        const std::string text = [&] {
            SharedBorrow borrow(body(self).borrow);
            return render_board(body(self).record);
        }();
        return str_from_utf8(text).release();
    });
}

PyObject* game_make_checkpoint(PyObject* self, PyObject*) {
    return entry([&] { return wrap_checkpoint(make_checkpoint(game_record(self))); });
}

PyObject* game_load_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        auto [argument] = parse(kLoadParams, args, nargs, kwnames);
        GameBody& game = body(self);
        {
            // A busy game is reported before a wrong argument, whose error is raised once
            // the borrow is given back.
            ExclusiveBorrow game_borrow(game.borrow);
            if (PyObject_TypeCheck(argument, checkpoint_type())) {
                CheckpointBody& checkpoint = Instance<CheckpointBody>::of(argument);
                SharedBorrow checkpoint_borrow(checkpoint.borrow);
                load_checkpoint(game.record, checkpoint.record);
                Py_RETURN_NONE;
            }
        }
        fail_conversion(argument, "Checkpoint", "checkpoint");
    });
}

PyObject* make_state(PyObject* self, PyObject*) {
    return entry([&] { return make_snapshot(game_record(self)); });
}

PyMethodDef kMethods[] = {
    {"get_available_moves", get_available_moves, METH_NOARGS, "get_available_moves($self)\n--\n\n"},
    {"make_move", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_move)),
     METH_FASTCALL | METH_KEYWORDS,
     "make_move($self, input, player_id_authentication)\n--\n\nMake a move. This does nothing "
     "else.\n\n\n## Args\n* `input` - the cell that the current player makes a move in.\n* "
     "`player_id_authentication` - the id of the player that is making the move. This should "
     "be one of: {1, 2}\n"},
    {"get_winner", get_winner, METH_NOARGS,
     "get_winner($self)\n--\n\nReturns the id of the winner of the game.\n\nIf it is equal to "
     "0, then the game ended in a draw.\n"},
    {"make_checkpoint", game_make_checkpoint, METH_NOARGS,
     "make_checkpoint($self)\n--\n\nCreate a checkpoint. This can be saved somewhere and "
     "loaded in at a later point in time."},
    {"load_checkpoint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(game_load_checkpoint)),
     METH_FASTCALL | METH_KEYWORDS,
     "load_checkpoint($self, checkpoint)\n--\n\nLoad in a checkpoint from a PyCheckpoint "
     "object.\n\n## Args\n* `checkpoint` - checkpoint to load in."},
    {"make_state", make_state, METH_NOARGS,
     "make_state($self)\n--\n\nCreate a `PyState`-object.\nThis object is a simple "
     "representation of the current game."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<GameBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_str, reinterpret_cast<void*>(game_str)},
    {Py_tp_doc, const_cast<char*>(
                    "Game(id)\n--\n\nGame class\n\n# Methods:\n* get_available_moves() - Returns "
                    "a vector containing the cells that are `valid` in the current state.\n* "
                    "make_move(input, player_id_authentication)")},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.Game", sizeof(Instance<GameBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* game_type() { return type_once(g_nonagame.game_type, kSpec, "Game"); }

GameRecord game_record(PyObject* game) {
    SharedBorrow borrow(body(game).borrow);
    return body(game).record;
}

PyObject* wrap_game(const GameRecord& record) {
    return allocate<GameBody>(game_type(), BorrowState{}, record);
}

}  // namespace nonagame::py
