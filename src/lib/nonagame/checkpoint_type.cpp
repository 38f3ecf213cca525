// The Checkpoint class, and State.to_checkpoint, which rebuilds a full position from a
// snapshot's arrays.
#include "checkpoint_type.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "integer_view.hpp"
#include "nonagame_globals.hpp"
#include "state_type.hpp"
#include "utf8.hpp"

namespace nonagame::py {

namespace {

CheckpointBody& body(PyObject* self) { return Instance<CheckpointBody>::of(self); }

// A copy of the checkpoint's record, taken under its shared borrow.
CheckpointRecord checkpoint_record(PyObject* self) {
    SharedBorrow borrow(body(self).borrow);
    return body(self).record;
}

PyObject* get_odds(PyObject* self, PyObject*) {
    return entry([&] {
        const std::array<double, 3> odds = checkpoint_record(self).odds;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(odds.size())));
        if (!list) api_call_failed();
        for (std::size_t i = 0; i < odds.size(); ++i) {
            PyObject* value = PyFloat_FromDouble(odds[i]);
            if (value == nullptr) api_call_failed();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
        }
        return list.release();
    });
}

PyObject* checkpoint_str(PyObject* self) {
    return entry([&] { return str_from_utf8(checkpoint_text(checkpoint_record(self))).release(); });
}

// The marks of a snapshot's board array as it is now: elements holding 1 or 2 are marks,
// anything else is an empty cell. The array must be one-dimensional with integer elements,
// and no mark may lie beyond the 81 cells.
std::array<std::int8_t, kCells> read_marks(PyObject* array) {
    IntegerView view(array);
    if (view.ndim() != 1 || !view.integers()) unwrap_none();
    std::array<std::int8_t, kCells> board{};
    const Py_ssize_t total = view.total();
    for (Py_ssize_t j = 0; j < total; ++j) {
        const auto value = view.at(j);
        if (!value) unwrap_none();
        if (*value != 1 && *value != 2) continue;
        if (j >= kCells) index_fault(kCells, static_cast<std::size_t>(j));
        board[static_cast<std::size_t>(j)] = static_cast<std::int8_t>(*value);
    }
    return board;
}

// The roster the next move is confined to, judged from a snapshot's legal cells: only a
// short list (at most nine) of cells 0..80 that all lie in one roster forces that roster;
// anything else, including an empty list, leaves the choice free (-1).
std::int8_t read_forced_roster(PyObject* array) {
    IntegerView view(array);
    const Py_ssize_t count = view.total();
    if (count == 0 || count > 9) return -1;
    if (view.ndim() != 1 || !view.integers()) unwrap_none();
    std::int64_t roster = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const auto cell = view.at(i);
        if (!cell) unwrap_none();
        if (*cell < 0 || *cell >= kCells) return -1;
        if (i == 0) roster = *cell / 9;
        else if (*cell / 9 != roster) return -1;
    }
    return static_cast<std::int8_t>(roster);
}

PyMethodDef kMethods[] = {
    {"get_odds", get_odds, METH_NOARGS, "get_odds($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CheckpointBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_str, reinterpret_cast<void*>(checkpoint_str)},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.Checkpoint", sizeof(Instance<CheckpointBody>), 0, Py_TPFLAGS_DEFAULT,
                  kSlots};

}  // namespace

PyTypeObject* checkpoint_type() { return type_once(g_nonagame.checkpoint_type, kSpec, "Checkpoint"); }

PyObject* wrap_checkpoint(const CheckpointRecord& record) {
    return allocate<CheckpointBody>(checkpoint_type(), BorrowState{}, record);
}

CheckpointRecord state_position(PyObject* self) {
    const StateContents state = state_contents(self);
    // Both reads finish (and release their buffers) before anything can run Python code.
    const std::array<std::int8_t, kCells> board = read_marks(state.board.get());
    const std::int8_t roster = read_forced_roster(state.possible_moves.get());
    return checkpoint_from_position(board, state.player_id, roster);
}

PyObject* state_to_checkpoint(PyObject* self, PyObject*) {
    return entry([&] { return wrap_checkpoint(state_position(self)); });
}

}  // namespace nonagame::py
