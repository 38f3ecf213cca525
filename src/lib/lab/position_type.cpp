#include "position_type.hpp"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core_link.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
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

PyTypeObject* g_type = nullptr;

// The int objects of the cells 0..80, made once: legal_moves lists them on every call.
std::array<PyObject*, kCells> g_cells{};

PyObject* cell_object(int cell) {
    PyObject*& number = g_cells[static_cast<std::size_t>(cell)];
    if (number == nullptr) number = Ref::checked(PyLong_FromLong(cell)).release();
    return Py_NewRef(number);
}

Ref text_object(const std::string& text) {
    return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class T>
const T& accepted(const Result<T>& result) {
    if (!result) raise(PyExc_ValueError, result.refusal().message);
    return result.value();
}

// The decimal text of an int argument (for the messages about ints beyond long long).
std::string int_text(PyObject* object) {
    Ref number = Ref::checked(PyNumber_Index(object));
    Ref text = Ref::checked(PyObject_Str(number.get()));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) throw ErrorSet{};
    return utf8;
}

// The refusal text of a move of the cell object, whose value came to the engine as cell:
// an int beyond long long came as LLONG_MIN, and the range message names the int given.
std::string refusal_text(const Refusal& refusal, long long cell, PyObject* object) {
    if (cell == LLONG_MIN && refusal.message == cell_range_message(cell)) {
        return "cell must be 0..80, got " + int_text(object);
    }
    return refusal.message;
}

std::string utf8_argument(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) {
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(object)));
        const char* text = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
        if (text == nullptr) PyErr_Clear();
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected a str, got '" +
                                   (text != nullptr ? text : "object") + "'");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) throw ErrorSet{};
    return std::string(data, static_cast<std::size_t>(size));
}

// An int argument as a long long; values beyond its range come back as LLONG_MIN, which
// every caller refuses as out of range.
long long int_argument(PyObject* object, const char* name) {
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow != 0) return LLONG_MIN;
        return value;
    }
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(object)));
        const char* text = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
        if (text == nullptr) PyErr_Clear();
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected an int, got '" +
                                   (text != nullptr ? text : "object") + "'");
    }
    Ref number = Ref::checked(PyNumber_Index(object));
    return int_argument(number.get(), name);
}

int symmetry_argument(PyObject* object) {
    const long long k = int_argument(object, "k");
    if (k < 0 || k >= kSymmetries) {
        raise(PyExc_ValueError, "argument 'k': a symmetry is 0..7, got " +
                                    (k == LLONG_MIN ? std::string("a larger int") : std::to_string(k)));
    }
    return static_cast<int>(k);
}

PyObject* position_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* names[] = {"notation", nullptr};
        PyObject* text = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Position", const_cast<char**>(names), &text)) {
            throw ErrorSet{};
        }
        if (text == Py_None) return wrap_position(Position());
        return wrap_position(accepted(parse_notation(utf8_argument(text, "notation"))));
    });
}

// Class methods.

PyObject* from_game(PyObject*, PyObject* game) {
    return entry([&] {
        if (!PyObject_TypeCheck(game, core().game_type)) {
            raise(PyExc_TypeError, "argument 'game': expected a nonagame.Game");
        }
        GameRecord record;
        if (core().read_game(game, &record) < 0) throw ErrorSet{};
        return wrap_position_record(record);
    });
}

PyObject* from_state(PyObject*, PyObject* state) {
    return entry([&] {
        if (!PyObject_TypeCheck(state, core().state_type)) {
            raise(PyExc_TypeError, "argument 'state': expected a nonagame.State");
        }
        CheckpointRecord checkpoint;
        if (core().read_state(state, &checkpoint) < 0) throw ErrorSet{};
        GameRecord record = new_game(0, false);
        load_checkpoint(record, checkpoint);
        return wrap_position_record(record);
    });
}

PyObject* parse(PyObject*, PyObject* text) {
    return entry([&] { return wrap_position(accepted(parse_notation(utf8_argument(text, "text")))); });
}

// The items of an iterable of cells as a tuple. Reading an item may run Python code (its
// __index__), which could change a list given by the caller; a tuple cannot change.
Ref cell_items(PyObject* cells) {
    Ref sequence = Ref::checked(PySequence_Fast(cells, "argument 'cells': expected an iterable of ints"));
    return Ref::checked(PySequence_Tuple(sequence.get()));
}

PyObject* from_moves(PyObject*, PyObject* cells) {
    return entry([&] {
        Ref sequence = cell_items(cells);
        const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
        std::vector<long long> moves(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyTuple_GET_ITEM(sequence.get(), i);
            moves[static_cast<std::size_t>(i)] = int_argument(item, "cells");
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
    return entry([&] {
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
    return entry([&] {
        const CellSet cells = value(self).legal_set();
        Ref list = Ref::checked(PyList_New(cells.size()));
        Py_ssize_t i = 0;
        cells.for_each([&](int cell) { PyList_SET_ITEM(list.get(), i++, cell_object(cell)); });
        return list.release();
    });
}

PyObject* get_notation(PyObject* self, void*) {
    return entry([&] { return text_object(notation(value(self))).release(); });
}

// Methods.

PyObject* play(PyObject* self, PyObject* cell) {
    return entry([&] {
        const long long index = int_argument(cell, "cell");
        const Result<Position> result = value(self).play(index);
        if (!result) raise(PyExc_ValueError, refusal_text(result.refusal(), index, cell));
        return wrap_position(result.value());
    });
}

PyObject* to_game(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* names[] = {"game_id", nullptr};
        unsigned int game_id = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|I:to_game", const_cast<char**>(names), &game_id)) {
            throw ErrorSet{};
        }
        GameRecord record = value(self).record();
        record.id = game_id;
        record.log_enabled = false;
        PyObject* game = core().new_game(&record);
        if (game == nullptr) throw ErrorSet{};
        return game;
    });
}

PyObject* symmetries(PyObject* self, PyObject*) {
    return entry([&] {
        Ref list = Ref::checked(PyList_New(kSymmetries));
        for (int k = 0; k < kSymmetries; ++k) PyList_SET_ITEM(list.get(), k, wrap_position(value(self).transformed(k)));
        return list.release();
    });
}

PyObject* transform(PyObject* self, PyObject* k) {
    return entry([&] { return wrap_position(value(self).transformed(symmetry_argument(k))); });
}

// The picture is drawn in Python (nonagame_lab._svg); its arguments pass through as given.
PyObject* call_svg(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
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
    return entry([&] {
        Ref text = text_object(notation(value(self)));
        return Ref::checked(Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), text.get()))
            .release();
    });
}

PyObject* copy_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Slots.

PyObject* position_repr(PyObject* self) {
    return entry([&] {
        Ref text = text_object(notation(value(self)));
        return PyUnicode_FromFormat("Position(%R)", text.get());
    });
}

PyObject* position_str(PyObject* self) {
    return entry([&] { return text_object(render_board(value(self).record())).release(); });
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
     METH_VARARGS | METH_KEYWORDS,
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

// Module functions.

PyObject* transform_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) raise(PyExc_TypeError, "transform_cells() takes 2 arguments: (k, cells)");
        const int k = symmetry_argument(args[0]);
        Ref sequence = cell_items(args[1]);
        const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
        std::vector<int> mapped(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            const long long cell = int_argument(PyTuple_GET_ITEM(sequence.get(), i), "cells");
            if (cell < 0 || cell >= kCells) raise(PyExc_ValueError, "argument 'cells': " + cell_range_message(cell));
            mapped[static_cast<std::size_t>(i)] = transform_cell(k, static_cast<int>(cell));
        }
        Ref list = Ref::checked(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(list.get(), i, cell_object(mapped[static_cast<std::size_t>(i)]));
        }
        return list.release();
    });
}

PyObject* inverse_symmetry(PyObject*, PyObject* k) {
    return entry([&] { return PyLong_FromLong(inverse(symmetry_argument(k))); });
}

PyObject* compose_symmetries(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) raise(PyExc_TypeError, "compose_symmetries() takes 2 arguments: (first, second)");
        return PyLong_FromLong(compose(symmetry_argument(args[0]), symmetry_argument(args[1])));
    });
}

PyObject* symmetry_cell_map(PyObject*, PyObject* k) {
    return entry([&] {
        const int symmetry = symmetry_argument(k);
        std::array<std::int8_t, kCells> map{};
        for (int cell = 0; cell < kCells; ++cell) map[static_cast<std::size_t>(cell)] = static_cast<std::int8_t>(transform_cell(symmetry, cell));
        return new_int8_array(map.data(), kCells);
    });
}

PyObject* py_cell_name(PyObject*, PyObject* cell) {
    return entry([&] {
        const long long index = int_argument(cell, "cell");
        const Result<std::string> name = cell_name(index);
        if (!name) raise(PyExc_ValueError, refusal_text(name.refusal(), index, cell));
        return text_object(name.value()).release();
    });
}

PyObject* py_cell_index(PyObject*, PyObject* name) {
    return entry([&] { return PyLong_FromLong(accepted(cell_index(utf8_argument(name, "name")))); });
}

PyMethodDef kFunctions[] = {
    {"transform_cells", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transform_cells)),
     METH_FASTCALL,
     "transform_cells(k, cells, /)\n--\n\nThe images of the cells under symmetry k, in the same order."},
    {"inverse_symmetry", inverse_symmetry, METH_O,
     "inverse_symmetry(k, /)\n--\n\nThe symmetry that undoes symmetry k."},
    {"compose_symmetries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compose_symmetries)),
     METH_FASTCALL,
     "compose_symmetries(first, second, /)\n--\n\nThe symmetry equal to applying first, then second."},
    {"symmetry_cell_map", symmetry_cell_map, METH_O,
     "symmetry_cell_map(k, /)\n--\n\nAn int8 array m of 81 cells: symmetry k maps cell c to m[c]."},
    {"cell_name", py_cell_name, METH_O,
     "cell_name(cell, /)\n--\n\nThe algebraic name of a cell: columns a-i left to right, rows 1-9 bottom to "
     "top\n(cell 0 is a9, cell 80 is i1)."},
    {"cell_index", py_cell_index, METH_O, "cell_index(name, /)\n--\n\nThe cell an algebraic name denotes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* position_type() {
    return type_once(g_type, kSpec, "Position");
}

bool is_position(PyObject* object) { return Py_IS_TYPE(object, position_type()); }

const Position& position_value(PyObject* object) { return value(object); }

PyObject* wrap_position(const Position& position) {
    return allocate<PositionBody>(position_type(), position, Ref{});
}

PyObject* wrap_position_record(const GameRecord& record) {
    return wrap_position(accepted(Position::from_record(record)));
}

PyMethodDef* position_functions() { return kFunctions; }

}  // namespace nonagame::py
