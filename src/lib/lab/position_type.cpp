#include "position_type.hpp"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "core_link.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "heap_type.hpp"
#include "lab_args.hpp"
#include "lab_globals.hpp"
#include "native_arrays.hpp"
#include "notation.hpp"
#include "numpy_api.hpp"
#include "symmetry.hpp"
#include "text.hpp"

namespace nonagame::py {

namespace {

struct PositionBody {
    Position value;
    Ref board;  // the read-only board array, made on first read
};

PositionBody& body(PyObject* self) { return Instance<PositionBody>::of(self); }
const Position& value(PyObject* self) { return body(self).value; }

Ref text_object(const std::string& text) {
    return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class T>
const T& accepted(const Result<T>& result) {
    if (!result) raise(PyExc_ValueError, result.refusal().message);
    return result.value();
}

constexpr Params<1> kNewParams{"Position.__new__()", {"notation"}, 0, 1};
constexpr Params<1> kToGameParams{"Position.to_game()", {"game_id"}, 0, 1};

PyObject* position_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return lab_entry([&] {
        auto [text] = parse(kNewParams, args, kwargs);
        if (text == nullptr || text == Py_None) return wrap_position(Position());
        return wrap_position(accepted(parse_notation(str_argument(text, "notation"))));
    });
}

// Class methods.

PyObject* from_game(PyObject*, PyObject* game) {
    return lab_entry([&] {
        if (!PyObject_TypeCheck(game, core().game_type)) fail_expected(game, "game", "a nonagame.Game");
        GameRecord record;
        if (core().read_game(game, &record) < 0) throw ErrorSet{};
        return wrap_position_record(record);
    });
}

PyObject* from_state(PyObject*, PyObject* state) {
    return lab_entry([&] {
        if (!PyObject_TypeCheck(state, core().state_type)) fail_expected(state, "state", "a nonagame.State");
        CheckpointRecord checkpoint;
        if (core().read_state(state, &checkpoint) < 0) throw ErrorSet{};
        GameRecord record = new_game(0, false);
        load_checkpoint(record, checkpoint);
        return wrap_position_record(record);
    });
}

PyObject* parse(PyObject*, PyObject* text) {
    return lab_entry([&] { return wrap_position(accepted(parse_notation(str_argument(text, "text")))); });
}

PyObject* from_moves(PyObject*, PyObject* cells) {
    return lab_entry([&] {
        Ref sequence = cell_items(cells, "cells");
        const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
        std::vector<long long> moves(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyTuple_GET_ITEM(sequence.get(), i);
            moves[static_cast<std::size_t>(i)] = engine_int(item, "cells");
        }
        const Result<Position> result = Position::from_moves(moves);
        if (!result) {
            const Refusal& refusal = result.refusal();
            const auto index = static_cast<std::size_t>(refusal.index);
            PyObject* item = PyTuple_GET_ITEM(sequence.get(), refusal.index);
            raise(PyExc_ValueError, "move " + std::to_string(refusal.index) + " (cell " + int_text(item) +
                                        "): " + refusal_text(refusal, moves[index], item));
        }
        return wrap_position(result.value());
    });
}

// Getters.

PyObject* get_board(PyObject* self, void*) {
    return lab_entry([&] {
        PositionBody& b = body(self);
        if (!b.board) {
            // A view of a read-only native block: unlike an array that owns its data, it
            // cannot be made writeable again with setflags.
            Ref block = new_native_block(kCells);
            std::memcpy(block_data(block.get()), b.value.board().data(), kCells);
            Ref array = view_array(block.get(), "int8", 0, kCells, 0);
            // The calls above may have run Python code that read the board meanwhile.
            if (!b.board) b.board = std::move(array);
        }
        return Py_NewRef(b.board.get());
    });
}

PyObject* get_to_move(PyObject* self, void*) { return PyLong_FromLong(value(self).to_move()); }
PyObject* get_winner(PyObject* self, void*) { return PyLong_FromLong(value(self).winner()); }
PyObject* get_is_over(PyObject* self, void*) { return PyBool_FromLong(value(self).is_over()); }
PyObject* get_key(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(value(self).key()); }

PyObject* get_forced_roster(PyObject* self, void*) {
    const int roster = value(self).forced_roster();
    if (roster < 0) Py_RETURN_NONE;
    return PyLong_FromLong(roster);
}

PyObject* get_legal_moves(PyObject* self, void*) {
    return lab_entry([&] {
        const CellSet cells = value(self).legal_set();
        Ref list = Ref::checked(PyList_New(cells.size()));
        Py_ssize_t i = 0;
        cells.for_each([&](int cell) { PyList_SET_ITEM(list.get(), i++, new_cell_int(cell)); });
        return list.release();
    });
}

PyObject* get_notation(PyObject* self, void*) {
    return lab_entry([&] { return text_object(notation(value(self))).release(); });
}

// Methods.

PyObject* play(PyObject* self, PyObject* cell) {
    return lab_entry([&] {
        const long long index = engine_int(cell, "cell");
        const Result<Position> result = value(self).play(index);
        if (!result) raise(PyExc_ValueError, refusal_text(result.refusal(), index, cell));
        return wrap_position(result.value());
    });
}

PyObject* to_game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return lab_entry([&] {
        auto [game_id] = parse(kToGameParams, args, nargs, kwnames);
        GameRecord record = value(self).record();
        record.id = game_id != nullptr ? to_u32(game_id, "game_id") : 0;
        record.log_enabled = false;
        PyObject* game = core().new_game(&record);
        if (game == nullptr) throw ErrorSet{};
        return game;
    });
}

PyObject* symmetries(PyObject* self, PyObject*) {
    return lab_entry([&] {
        Ref list = Ref::checked(PyList_New(kSymmetries));
        for (int k = 0; k < kSymmetries; ++k) PyList_SET_ITEM(list.get(), k, wrap_position(value(self).transformed(k)));
        return list.release();
    });
}

PyObject* transform(PyObject* self, PyObject* k) {
    return lab_entry([&] { return wrap_position(value(self).transformed(symmetry_value(k, "k"))); });
}

// The picture is drawn in Python (nonagame_lab._svg); its arguments pass through as given.
PyObject* call_svg(PyObject* self, PyObject* args, PyObject* kwargs) {
    return lab_entry([&] {
        Ref module = Ref::checked(PyImport_ImportModule("nonagame_lab._svg"));
        Ref draw = Ref::checked(PyObject_GetAttrString(module.get(), "position_svg"));
        const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
        Ref call_args = Ref::checked(PyTuple_New(given + 1));
        PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(self));
        for (Py_ssize_t i = 0; i < given; ++i) PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
        return Ref::checked(PyObject_Call(draw.get(), call_args.get(), kwargs)).release();
    });
}

PyObject* repr_svg(PyObject* self, PyObject*) { return call_svg(self, nullptr, nullptr); }

PyObject* reduce(PyObject* self, PyObject*) {
    return lab_entry([&] {
        Ref text = text_object(notation(value(self)));
        return Ref::checked(Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), text.get()))
            .release();
    });
}

PyObject* copy_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Slots.

PyObject* position_repr(PyObject* self) {
    return lab_entry([&] {
        Ref text = text_object(notation(value(self)));
        return PyUnicode_FromFormat("Position(%R)", text.get());
    });
}

PyObject* position_str(PyObject* self) {
    return lab_entry([&] { return text_object(render_board(value(self).record(), BoardLetters::kLab)).release(); });
}

Py_hash_t position_hash(PyObject* self) {
    const auto hash = static_cast<Py_hash_t>(value(self).key());
    return hash == -1 ? -2 : hash;
}

PyObject* position_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_position(b)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value(a) == value(b);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyGetSetDef kGetSet[] = {
    {"board", get_board, nullptr, "The 81 cells as a read-only numpy.int8 array: 0 empty, 1 or 2 a mark.",
     nullptr},
    {"to_move", get_to_move, nullptr, "The player whose turn it is, 1 or 2 (also once the game is over).",
     nullptr},
    {"legal_moves", get_legal_moves, nullptr, "The cells that may be played, ascending.", nullptr},
    {"forced_roster", get_forced_roster, nullptr,
     "The roster every legal cell lies in (0..8), or None for a free choice or a finished game.", nullptr},
    {"winner", get_winner, nullptr, "0, or the player (1 or 2) who has won.", nullptr},
    {"is_over", get_is_over, nullptr, "Whether the game is over (won or drawn).", nullptr},
    {"notation", get_notation, nullptr, "The position as one line of text, which Position.parse reads back.",
     nullptr},
    {"key", get_key, nullptr,
     "A 64-bit hash of the position, the same in every process and version; equal positions have\n"
     "equal keys.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"from_game", from_game, METH_O | METH_CLASS,
     "from_game($type, game, /)\n--\n\nThe position of a nonagame.Game."},
    {"from_state", from_state, METH_O | METH_CLASS,
     "from_state($type, state, /)\n--\n\nThe position a nonagame.State shows."},
    {"parse", parse, METH_O | METH_CLASS,
     "parse($type, text, /)\n--\n\nThe position written in notation; ValueError names the offset and what was "
     "expected,\nor why the position cannot arise in a game."},
    {"from_moves", from_moves, METH_O | METH_CLASS,
     "from_moves($type, cells, /)\n--\n\nThe opening followed by these cells, each checked; an illegal move "
     "raises ValueError\nnaming its index and the engine's refusal."},
    {"play", play, METH_O,
     "play($self, cell, /)\n--\n\nThe position after the player to move plays cell; refusals raise ValueError "
     "with the\ntexts of nonagame.Game.make_move."},
    {"to_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_game)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_game($self, /, game_id=0)\n--\n\nA new nonagame.Game in this position."},
    {"symmetries", symmetries, METH_NOARGS,
     "symmetries($self, /)\n--\n\nThe eight images of the position under the symmetries of the square, in the "
     "order of\nSYMMETRY_NAMES (the identity first)."},
    {"transform", transform, METH_O,
     "transform($self, k, /)\n--\n\nThe image of the position under symmetry k (0..7)."},
    {"to_svg", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_svg)), METH_VARARGS | METH_KEYWORDS,
     "to_svg($self, /, policy=None, values=None, last_move=None, coordinates=True)\n--\n\n"
     "The board as an SVG picture: policy (81 numbers >= 0) as a heat map, values (81 numbers\n"
     "in [-1, 1] for the player to move) in green and red, last_move marked, files and ranks\n"
     "along the edges when coordinates, and the side to move or the result above the board."},
    {"_repr_svg_", repr_svg, METH_NOARGS, "_repr_svg_($self, /)\n--\n\nThe SVG picture that notebooks show."},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the position as its notation."},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\nThe position itself: it is immutable."},
    {"__deepcopy__", copy_self, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe position itself: it is immutable."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(position_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PositionBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(position_repr)},
    {Py_tp_str, reinterpret_cast<void*>(position_str)},
    {Py_tp_hash, reinterpret_cast<void*>(position_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(position_richcompare)},
    {Py_tp_doc, const_cast<char*>("Position(notation=None)\n--\n\n"
                                  "An immutable position of nine-board tic-tac-toe: the opening, or the "
                                  "position\nwritten in notation. Equal positions compare and hash equal.")},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab.Position", sizeof(Instance<PositionBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* position_type() {
    return type_once(g_lab.position_type, kSpec, "Position");
}

bool is_position(PyObject* object) { return Py_IS_TYPE(object, position_type()); }

const Position& position_value(PyObject* object) { return value(object); }

PyObject* wrap_position(const Position& position) {
    return allocate<PositionBody>(position_type(), position, Ref{});
}

PyObject* wrap_position_record(const GameRecord& record) {
    return wrap_position(accepted(Position::from_record(record)));
}

}  // namespace nonagame::py
