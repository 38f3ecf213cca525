// The State class and the snapshot builder shared by Game.make_state and the match runner.
#include "state_type.hpp"

#include <array>
#include <cstring>
#include <string>

#include "checkpoint_type.hpp"
#include "grid.hpp"
#include "integer_view.hpp"
#include "nonagame_globals.hpp"
#include "numpy_api.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace nonagame::py {

namespace {

StateBody& body(PyObject* self) { return Instance<StateBody>::of(self); }

// tp_alloc and tp_free of State: released objects are kept for reuse (every slot of the
// free list is used). State has no subclasses and no variable part, so a kept block always
// has the size of an instance.
PyObject* state_alloc(PyTypeObject* type, Py_ssize_t items) {
    if (type == g_nonagame.state_type && items == 0) {
        if (void* memory = g_nonagame.state_free_list.take()) {
            std::memset(memory, 0, sizeof(Instance<StateBody>));
            return PyObject_Init(static_cast<PyObject*>(memory), type);  // takes the type reference again
        }
    }
    return PyType_GenericAlloc(type, items);
}

void state_free(void* memory) {
    if (!g_nonagame.state_free_list.keep(memory)) PyObject_Free(memory);
}

PyObject* get_board(PyObject* self, void*) { return Py_NewRef(body(self).board.get()); }

PyObject* get_player_id(PyObject* self, void*) { return PyLong_FromLong(body(self).player_id); }

PyObject* get_possible_moves(PyObject* self, void*) {
    return Py_NewRef(body(self).possible_moves.get());
}

// The nine rows of the board, read from the array as it is now.
std::string board_rows(PyObject* board) {
    IntegerView view(board);
    const auto length = view.length();
    if (!length) unwrap_none();
    std::string text;
    text.reserve(1400);
    for (int row = 0; row < 9; ++row) {
        for (int column = 0; column < 9; ++column) {
            if (column > 0) text += column % 3 == 0 ? kHeavyVertical : kLightVertical;
            const int cell = cell_at(row, column);
            if (cell >= *length) unwrap_none();
            const auto value = view.at(cell);
            if (!value) unwrap_none();
            text += ' ';
            text += std::to_string(*value);
            text += ' ';
        }
        if (row == 8) break;
        text += '\n';
        text += row % 3 == 2 ? heavy_rule() : thin_rule();
        text += '\n';
    }
    return text;
}

// str() of the array, or "<unprintable T object>" after reporting the error to the
// unraisable-exception hook.
std::string array_text(PyObject* array) {
    if (std::optional<std::string> text = object_text(array)) return *std::move(text);
    PyErr_WriteUnraisable(array);
    const Ref name = Ref::steal(PyType_GetName(Py_TYPE(array)));
    if (const std::optional<std::string> utf8 = object_text(name.get())) {
        return "<unprintable " + *utf8 + " object>";
    }
    PyErr_Clear();
    return "<unprintable object>";
}

PyObject* state_str(PyObject* self) {
    return entry([&] {
        // Our own references keep the arrays alive while Python code (NumPy's formatting) runs.
        const StateContents state = state_contents(self);
        std::string text = "Board:\n" + board_rows(state.board.get());
        text += "\n\nNext Player: " + std::to_string(state.player_id) + "\n";
        text += "\nPossible Moves: " + array_text(state.possible_moves.get()) + "\n";
        return str_from_utf8(text).release();
    });
}

PyGetSetDef kGetSet[] = {
    {"board", get_board, nullptr, "", nullptr},
    {"player_id", get_player_id, nullptr, "", nullptr},
    {"possible_moves", get_possible_moves, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"to_checkpoint", state_to_checkpoint, METH_NOARGS,
     "to_checkpoint($self)\n--\n\nCoerces a pystate into a checkpoint. \n\nThis can be used to "
     "load in a checkpoint. \nMethod is rather expensive.\n\nNote:\nThe reason why checkpoints "
     "and states are not the same is a design choice. \nWe wanted the state to be as minimal as "
     "possible."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Represent a Pythonlike state. The current board, next player, and all possible moves.\n"
    "Uses Numpy arrays when possible.\n"
    "\n"
    "Important note:\n"
    "* board - this attribute is a 1D-array. The first 9 elements represent the first field "
    "(upper left), the next 9 the second field (upper center) and so on\n"
    "```text\n"
    "Layout:\n"
    " 0  1  2        9  10  11       18  19  20\n"
    " 3  4  5       12  13  14       21  22  23\n"
    " 6  7  8       15  16  17       24  25  26\n"
    " \n"
    "27  28  29     36  37  38       45  46  47\n"
    "30  31  32     39  40  41       48  49  50\n"
    "33  34  35     42  43  44       51  52  53\n"
    "\n"
    "54  55  56     63  64  65       72  73  74\n"
    "57  58  59     66  67  68       75  76  77\n"
    "60  61  62     69  70  71       78  79  80\n"
    "```";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(state_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(state_free)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StateBody>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_str, reinterpret_cast<void*>(state_str)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.State", sizeof(Instance<StateBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* state_type() { return type_once(g_nonagame.state_type, kSpec, "State"); }

StateContents state_contents(PyObject* state) {
    StateBody& contents = body(state);
    SharedBorrow borrow(contents.borrow);
    return {Ref::borrow(contents.board.get()), Ref::borrow(contents.possible_moves.get()),
            contents.player_id};
}

PyObject* make_snapshot(const GameRecord& record) {
    // Copy what the snapshot shows first: creating arrays may run Python code.
    const CellList moves = get_available_moves(record);
    const std::array<std::int8_t, kCells> cells = record.board;
    const std::int8_t player = record.next_player;
    Ref board = Ref::steal(new_int8_array(cells.data(), kCells));
    Ref possible = Ref::steal(new_int8_array(moves.cells.data(), moves.count));
    return allocate<StateBody>(state_type(), BorrowState{}, std::move(board), std::move(possible),
                               player);
}

}  // namespace nonagame::py
