#include "search_result_type.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "lab_args.hpp"
#include "lab_entry.hpp"
#include "lab_globals.hpp"
#include "native_arrays.hpp"

namespace nonagame::py {

namespace {

using mcts::Proof;
template <class T>
using PerCell = std::array<T, kCells>;

// The fields in the order of the constructor. The arrays are made on first read, each a
// read-only view of its own native block, and kept.
struct ResultBody {
    PerCell<std::int64_t> visits{};
    PerCell<double> policy{};
    int best_move = -1;
    double value = 0;
    std::uint64_t simulations = 0;
    std::vector<int> principal_variation;
    Proof proven = Proof::Unknown;
    double seconds = 0;
    PerCell<float> move_values{};
    PerCell<Proof> move_proofs{};
    bool has_priors = false;
    PerCell<float> priors{};
    Ref visits_array, policy_array, values_array, priors_array;
};

ResultBody& body(PyObject* self) { return Instance<ResultBody>::of(self); }

bool is_result(PyObject* object) { return Py_IS_TYPE(object, search_result_type()); }

PyObject* proof_object(Proof proof) {
    switch (proof) {
        case Proof::Win: return PyUnicode_FromString("win");
        case Proof::Loss: return PyUnicode_FromString("loss");
        case Proof::Draw: return PyUnicode_FromString("draw");
        default: Py_RETURN_NONE;
    }
}

Proof proof_value(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return Proof::Unknown;
    const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (text == nullptr) PyErr_Clear();
    if (text != nullptr && std::strcmp(text, "win") == 0) return Proof::Win;
    if (text != nullptr && std::strcmp(text, "loss") == 0) return Proof::Loss;
    if (text != nullptr && std::strcmp(text, "draw") == 0) return Proof::Draw;
    fail_value(name, "expected None, 'win', 'loss' or 'draw'");
}

// The 81 values of an array-like as dtype (numpy.ascontiguousarray), copied to out.
template <class T>
void read_cells(PyObject* object, const char* dtype, const char* name, PerCell<T>& out) {
    Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
    Ref array = Ref::checked(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "Os", object, dtype));
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS) < 0) throw ErrorSet{};
    const bool fits = view.ndim == 1 && view.len == static_cast<Py_ssize_t>(sizeof out);
    if (fits) std::memcpy(out.data(), view.buf, sizeof out);
    PyBuffer_Release(&view);
    if (!fits) fail_value(name, std::string("expected ") + std::to_string(kCells) + " values in one dimension");
}

double real_value(PyObject* object, const char* name) {
    const double x = PyFloat_AsDouble(object);
    if (x == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    if (!std::isfinite(x)) fail_value(name, "expected a finite number");
    return x;
}

constexpr Params<11> kNewParams{"SearchResult.__new__()",
                                {"visits", "policy", "best_move", "value", "simulations", "principal_variation",
                                 "proven", "seconds", "move_values", "move_proofs", "priors"},
                                6, 11};

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return lab_entry([&] {
        auto [visits, policy, best, value, simulations, pv, proven, seconds, values, proofs, priors] =
            parse(kNewParams, args, kwargs);
        ResultBody r;
        read_cells(visits, "int64", "visits", r.visits);
        read_cells(policy, "float64", "policy", r.policy);
        r.best_move = cell_value(best, "best_move");
        r.value = real_value(value, "value");
        r.simulations = static_cast<std::uint64_t>(count_value(simulations, "simulations"));
        Ref cells = cell_items(pv, "principal_variation");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cells.get()); ++i)
            r.principal_variation.push_back(cell_value(PyTuple_GET_ITEM(cells.get(), i), "principal_variation"));
        r.proven = proof_value(proven, "proven");
        if (seconds != nullptr) r.seconds = nonnegative_real(seconds, "seconds");
        if (values != nullptr) read_cells(values, "float32", "move_values", r.move_values);
        if (proofs != nullptr) {
            Ref items = Ref::checked(PySequence_Tuple(proofs));
            if (PyTuple_GET_SIZE(items.get()) != kCells) fail_value("move_proofs", "expected 81 items");
            for (int c = 0; c < kCells; ++c)
                r.move_proofs[static_cast<std::size_t>(c)] = proof_value(PyTuple_GET_ITEM(items.get(), c), "move_proofs");
        }
        r.has_priors = priors != nullptr && priors != Py_None;
        if (r.has_priors) read_cells(priors, "float32", "priors", r.priors);
        return allocate<ResultBody>(type, std::move(r));
    });
}

// A read-only array of the 81 values of cells, kept in slot once made.
template <class T>
PyObject* cell_array(Ref& slot, const PerCell<T>& cells, const char* dtype) {
    if (!slot) {
        Ref block = new_native_block(sizeof cells);
        std::memcpy(block_data(block.get()), cells.data(), sizeof cells);
        Ref array = view_array(block.get(), dtype, 0, kCells, 0);
        // Making the array ran Python code, which may have read this field meanwhile.
        if (!slot) slot = std::move(array);
    }
    return Py_NewRef(slot.get());
}

PyObject* get_visits(PyObject* self, void*) {
    return lab_entry([&] { return cell_array(body(self).visits_array, body(self).visits, "int64"); });
}
PyObject* get_policy(PyObject* self, void*) {
    return lab_entry([&] { return cell_array(body(self).policy_array, body(self).policy, "float64"); });
}
PyObject* get_move_values(PyObject* self, void*) {
    return lab_entry([&] { return cell_array(body(self).values_array, body(self).move_values, "float32"); });
}
PyObject* get_priors(PyObject* self, void*) {
    return lab_entry([&]() -> PyObject* {
        if (!body(self).has_priors) Py_RETURN_NONE;
        return cell_array(body(self).priors_array, body(self).priors, "float32");
    });
}
PyObject* get_best_move(PyObject* self, void*) { return PyLong_FromLong(body(self).best_move); }
PyObject* get_value(PyObject* self, void*) { return PyFloat_FromDouble(body(self).value); }
PyObject* get_simulations(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(body(self).simulations); }
PyObject* get_seconds(PyObject* self, void*) { return PyFloat_FromDouble(body(self).seconds); }
PyObject* get_proven(PyObject* self, void*) { return proof_object(body(self).proven); }

Ref int_list(const std::vector<int>& cells) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(cells.size())));
    for (std::size_t i = 0; i < cells.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::checked(PyLong_FromLong(cells[i])).release());
    return list;
}

PyObject* get_principal_variation(PyObject* self, void*) {
    return lab_entry([&] { return int_list(body(self).principal_variation).release(); });
}

PyObject* get_move_proofs(PyObject* self, void*) {
    return lab_entry([&] {
        Ref list = Ref::checked(PyList_New(kCells));
        for (int c = 0; c < kCells; ++c)
            PyList_SET_ITEM(list.get(), c, Ref::checked(proof_object(body(self).move_proofs[static_cast<std::size_t>(c)])).release());
        return list.release();
    });
}

// The constructor's arguments, in its order: what pickling calls it with.
PyObject* reduce(PyObject* self, PyObject*) {
    return lab_entry([&] {
        Ref args = Ref::checked(PyTuple_New(11));
        const auto put = [&](Py_ssize_t i, PyObject* item) { PyTuple_SET_ITEM(args.get(), i, Ref::checked(item).release()); };
        put(0, get_visits(self, nullptr));
        put(1, get_policy(self, nullptr));
        put(2, get_best_move(self, nullptr));
        put(3, get_value(self, nullptr));
        put(4, get_simulations(self, nullptr));
        put(5, get_principal_variation(self, nullptr));
        put(6, get_proven(self, nullptr));
        put(7, get_seconds(self, nullptr));
        put(8, get_move_values(self, nullptr));
        put(9, get_move_proofs(self, nullptr));
        put(10, get_priors(self, nullptr));
        return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.release());
    });
}

PyObject* copy_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

bool same(const ResultBody& a, const ResultBody& b) {
    return a.visits == b.visits && a.policy == b.policy && a.best_move == b.best_move && a.value == b.value &&
           a.simulations == b.simulations && a.principal_variation == b.principal_variation && a.proven == b.proven &&
           a.seconds == b.seconds && a.move_values == b.move_values && a.move_proofs == b.move_proofs &&
           a.has_priors == b.has_priors && (!a.has_priors || a.priors == b.priors);
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_result(b)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = same(body(a), body(b));
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// FNV-1a over the integer fields: equal results have equal visits, moves and counts.
Py_hash_t hash(PyObject* self) {
    const ResultBody& r = body(self);
    std::uint64_t h = 14695981039346656037ULL;
    const auto mix = [&h](std::uint64_t x) { h = (h ^ x) * 1099511628211ULL; };
    for (const std::int64_t v : r.visits) mix(static_cast<std::uint64_t>(v));
    mix(static_cast<std::uint64_t>(r.best_move));
    mix(r.simulations);
    for (const int cell : r.principal_variation) mix(static_cast<std::uint64_t>(cell));
    const auto result = static_cast<Py_hash_t>(h);
    return result == -1 ? -2 : result;
}

PyObject* repr(PyObject* self) {
    return lab_entry([&] {
        const ResultBody& r = body(self);
        Ref value = Ref::checked(PyFloat_FromDouble(r.value));
        Ref seconds = Ref::checked(PyFloat_FromDouble(r.seconds));
        Ref proven = Ref::checked(proof_object(r.proven));
        Ref pv = int_list(r.principal_variation);
        return PyUnicode_FromFormat(
            "SearchResult(best_move=%d, value=%R, proven=%R, simulations=%llu, seconds=%R, principal_variation=%R%s)",
            r.best_move, value.get(), proven.get(), static_cast<unsigned long long>(r.simulations), seconds.get(),
            pv.get(), r.has_priors ? ", guided" : "");
    });
}

PyGetSetDef kGetSet[] = {
    {"visits", get_visits, nullptr, "(81,) int64: simulations through each move (0 for illegal cells).", nullptr},
    {"policy", get_policy, nullptr,
     "(81,) float64: the visits normalised over the legal cells (all on best_move when none were visited).", nullptr},
    {"best_move", get_best_move, nullptr, "A proven win if any, else the most visited move.", nullptr},
    {"value", get_value, nullptr, "The expected result for the player to move, in [-1, 1].", nullptr},
    {"simulations", get_simulations, nullptr, "Simulations run by this search.", nullptr},
    {"principal_variation", get_principal_variation, nullptr, "best_move and the best replies that follow (a new list).",
     nullptr},
    {"proven", get_proven, nullptr, "'win', 'loss' or 'draw' once the root is solved, else None.", nullptr},
    {"seconds", get_seconds, nullptr, "Wall time of the search.", nullptr},
    {"move_values", get_move_values, nullptr, "(81,) float32: each move's mean (capped) or proven value.", nullptr},
    {"move_proofs", get_move_proofs, nullptr, "Per cell: 'win', 'loss', 'draw' or None (a new list).", nullptr},
    {"priors", get_priors, nullptr,
     "(81,) float32: the root's priors (without noise) when an evaluator guided the search, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the result as its constructor's arguments."},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\nThe result itself: it is immutable."},
    {"__deepcopy__", copy_self, METH_O, "__deepcopy__($self, memo, /)\n--\n\nThe result itself: it is immutable."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ResultBody>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_hash, reinterpret_cast<void*>(hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_doc, const_cast<char*>(
         "SearchResult(visits, policy, best_move, value, simulations, principal_variation, proven=None,\n"
         "             seconds=0.0, move_values=None, move_proofs=None, priors=None)\n--\n\n"
         "What a search found at its root, for the player to move there. Immutable: its arrays are\n"
         "read-only. Results compare equal when every field is equal, and pickle.")},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab.SearchResult", sizeof(Instance<ResultBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* search_result_type() { return type_once(g_lab.search_result_type, kSpec, "SearchResult"); }

PyObject* wrap_search_result(const mcts::SearchResult& result) {
    ResultBody r;
    std::uint64_t total = 0;
    for (int c = 0; c < kCells; ++c) {
        const auto i = static_cast<std::size_t>(c);
        r.visits[i] = result.visits[i];
        total += result.visits[i];
    }
    // Cells other than the root's moves have no visits, so the sum is over the legal cells.
    for (std::size_t i = 0; i < r.policy.size(); ++i)
        r.policy[i] = total > 0 ? static_cast<double>(r.visits[i]) / static_cast<double>(total) : 0.0;
    if (total == 0 && result.best_move >= 0) r.policy[static_cast<std::size_t>(result.best_move)] = 1.0;
    r.best_move = result.best_move;
    r.value = result.value;
    r.simulations = result.simulations;
    r.principal_variation = result.principal_variation;
    r.proven = result.proof;
    r.seconds = result.seconds;
    r.move_values = result.values;
    r.move_proofs = result.proofs;
    r.has_priors = result.guided;
    r.priors = result.priors;
    return allocate<ResultBody>(search_result_type(), std::move(r));
}

}  // namespace nonagame::py
