// The module-level functions of nonagame_lab._core besides playouts: the symmetries of
// cells (transform_cells, inverse_symmetry, compose_symmetries, symmetry_cell_map) and the
// algebraic cell names (cell_name, cell_index).
#include "module_functions.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "lab_args.hpp"
#include "numpy_api.hpp"
#include "notation.hpp"
#include "symmetry.hpp"
#include "utf8.hpp"

namespace nonagame::py {

namespace {

constexpr Params<2> kTransformParams{"transform_cells()", {"k", "cells"}};
constexpr Params<2> kComposeParams{"compose_symmetries()", {"first", "second"}};

PyObject* transform_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return lab_entry([&] {
        auto [k_object, cells] = parse(kTransformParams, args, nargs, nullptr);
        const int k = symmetry_value(k_object, "k");
        Ref sequence = cell_items(cells, "cells");
        const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
        std::vector<int> mapped(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            const int cell = cell_value(PyTuple_GET_ITEM(sequence.get(), i), "cells", "argument 'cells': ");
            mapped[static_cast<std::size_t>(i)] = transform_cell(k, cell);
        }
        Ref list = Ref::checked(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(list.get(), i, new_cell_int(mapped[static_cast<std::size_t>(i)]));
        }
        return list.release();
    });
}

PyObject* inverse_symmetry(PyObject*, PyObject* k) {
    return lab_entry([&] { return PyLong_FromLong(inverse(symmetry_value(k, "k"))); });
}

PyObject* compose_symmetries(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return lab_entry([&] {
        auto [first, second] = parse(kComposeParams, args, nargs, nullptr);
        return PyLong_FromLong(compose(symmetry_value(first, "first"), symmetry_value(second, "second")));
    });
}

PyObject* symmetry_cell_map(PyObject*, PyObject* k) {
    return lab_entry([&] {
        const int symmetry = symmetry_value(k, "k");
        std::array<std::int8_t, kCells> map{};
        for (int cell = 0; cell < kCells; ++cell) map[static_cast<std::size_t>(cell)] = static_cast<std::int8_t>(transform_cell(symmetry, cell));
        return new_int8_array(map.data(), kCells);
    });
}

PyObject* py_cell_name(PyObject*, PyObject* cell) {
    return lab_entry([&] {
        const long long index = engine_int(cell, "cell");
        const Result<std::string> name = cell_name(index);
        if (!name) raise(PyExc_ValueError, refusal_text(name.refusal(), index, cell));
        return str_from_utf8(name.value()).release();
    });
}

PyObject* py_cell_index(PyObject*, PyObject* name) {
    return lab_entry([&] {
        const Result<int> cell = cell_index(str_argument(name, "name"));
        if (!cell) raise(PyExc_ValueError, cell.refusal().message);
        return PyLong_FromLong(cell.value());
    });
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

PyMethodDef* module_functions() { return kFunctions; }

}  // namespace nonagame::py
