#include "search_batch_type.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "borrow.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "gil.hpp"
#include "args.hpp"
#include "heap_type.hpp"
#include "lab_args.hpp"
#include "native_arrays.hpp"
#include "planes.hpp"
#include "rng.hpp"
#include "search/search_batch.hpp"
#include "search_result_type.hpp"
#include "search_settings.hpp"

namespace nonagame::py {

namespace {

struct BatchBody {
    BorrowState borrow;
    std::optional<mcts::SearchBatch> batch;
};

BatchBody& body(PyObject* self) { return Instance<BatchBody>::of(self); }

constexpr Params<11> kNewParams{"SearchBatch.__new__()",
                                {"positions", "simulations", "threads", "seed", "c_puct", "dirichlet_alpha",
                                 "dirichlet_fraction", "temperature", "pool_nodes", "leaves_per_tree", "seeds"},
                                1, 1};

// The positions to search, each in play.
std::vector<GameRecord> roots_of(PyObject* positions) {
    Ref sequence = Ref::checked(PySequence_Fast(positions, "argument 'positions': expected a sequence of positions"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    std::vector<GameRecord> roots;
    roots.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        roots.push_back(position_record(PySequence_Fast_GET_ITEM(sequence.get(), i), "positions"));
        if (mcts::is_over(roots.back())) {
            raise(PyExc_ValueError, "argument 'positions': position " + std::to_string(i) +
                                        " is already over: there is nothing to search");
        }
    }
    return roots;
}

// The trees' seeds: those of `seeds` (one a position) when given; else, with no seed either,
// one of its own for each tree from a seed of the operating system, so that equal positions
// do not play out alike; else none (every tree has the seed).
std::vector<std::uint64_t> tree_seeds(PyObject* seeds, PyObject* seed, std::size_t count) {
    std::vector<std::uint64_t> out;
    if (seeds != nullptr && seeds != Py_None) {
        Ref sequence = Ref::checked(PySequence_Fast(seeds, "argument 'seeds': expected a sequence of ints"));
        const Py_ssize_t given = PySequence_Fast_GET_SIZE(sequence.get());
        if (static_cast<std::size_t>(given) != count) {
            raise(PyExc_ValueError, "argument 'seeds': expected one seed a position (" + std::to_string(count) +
                                        "), got " + std::to_string(given));
        }
        for (Py_ssize_t i = 0; i < given; ++i) out.push_back(seed_value(PySequence_Fast_GET_ITEM(sequence.get(), i), "seeds"));
    } else if (seed == nullptr || seed == Py_None) {
        Rng draw(seed_value(Py_None, "seed"), 0);
        for (std::size_t i = 0; i < count; ++i) out.push_back(draw.next());
    }
    return out;
}

// A count in low..high given as name, or fallback when absent.
std::int64_t count_in(PyObject* object, const char* name, std::int64_t low, std::int64_t high, std::int64_t fallback) {
    if (object == nullptr || object == Py_None) return fallback;
    const std::int64_t value = count_value(object, name);
    if (value < low || value > high) {
        std::string text = "argument '";
        text += name;
        text += "': expected a count in " + std::to_string(low) + ".." + std::to_string(high);
        text += ", got " + std::to_string(value);
        raise(PyExc_ValueError, text);
    }
    return value;
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return lab_entry([&] {
        auto [positions, simulations, threads, seed, c_puct, alpha, fraction, temperature, pool, per_tree, seeds_object] =
            parse(kNewParams, args, kwargs);
        if (simulations == nullptr || simulations == Py_None) {
            raise(PyExc_TypeError, "SearchBatch() needs a budget: simulations=");
        }
        const std::int64_t budget = count_value(simulations, "simulations");
        if (budget == 0) raise(PyExc_ValueError, "argument 'simulations': expected a count >= 1, got 0");
        mcts::SearchConfig config;
        config.threads = thread_count(threads, "threads");
        config.seed = seed_value(seed == nullptr ? Py_None : seed, "seed");
        read_guided_settings(config, c_puct, alpha, fraction, temperature);
        config.pool_nodes = static_cast<std::uint32_t>(
            count_in(pool, "pool_nodes", mcts::kMinTreeNodes, 0xFFFFFFFFLL, mcts::kDefaultPoolNodes));
        const auto leaves_per_tree = static_cast<int>(count_in(per_tree, "leaves_per_tree", 1, kCells, 1));
        const std::vector<GameRecord> roots = roots_of(positions);
        const std::vector<std::uint64_t> seeds = tree_seeds(seeds_object, seed, roots.size());
        Ref self = Ref::steal(allocate<BatchBody>(type));
        building_pool(config, true, [&] {
            try {
                body(self.get()).batch.emplace(roots, config, static_cast<std::uint64_t>(budget), leaves_per_tree, seeds);
            } catch (const std::invalid_argument& error) {
                raise(PyExc_ValueError, error.what());
            }
        });
        return self.release();
    });
}

// A buffer of an object, given back at the end of the scope.
class View {
public:
    explicit View(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) throw ErrorSet{};
    }
    ~View() { PyBuffer_Release(&view_); }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    const Py_buffer& operator*() const { return view_; }

private:
    Py_buffer view_{};
};

// numpy.asarray(object), refused with TypeError unless its dtype is a float one.
Ref float_array(PyObject* numpy, PyObject* object, const std::string& what) {
    Ref array = Ref::checked(PyObject_CallMethod(numpy, "asarray", "O", object));
    Ref dtype = Ref::checked(PyObject_GetAttrString(array.get(), "dtype"));
    Ref kind = Ref::checked(PyObject_GetAttrString(dtype.get(), "kind"));
    const char* kind_text = PyUnicode_AsUTF8(kind.get());
    if (kind_text == nullptr) throw ErrorSet{};
    if (std::strcmp(kind_text, "f") != 0) {
        Ref dtype_text = Ref::checked(PyObject_Str(dtype.get()));
        const char* dtype_name = PyUnicode_AsUTF8(dtype_text.get());
        if (dtype_name == nullptr) throw ErrorSet{};
        raise(PyExc_TypeError, std::string(what).append(", got dtype ").append(dtype_name));
    }
    return array;
}

// Whether a buffer holds float32 in this machine's byte order.
bool native_float32(const Py_buffer& view) {
    const std::string_view format = view.format != nullptr ? view.format : "B";
    return view.itemsize == 4 && (format == "f" || format == "=f" || format == "@f" ||
                                  (format == "<f" && std::endian::native == std::endian::little));
}

std::string shape_text(const Py_buffer& view) {
    std::string text = "(";
    for (int d = 0; d < view.ndim; ++d) {
        text += std::to_string(view.shape[d]);
        if (view.ndim == 1 || d + 1 < view.ndim) text += view.ndim == 1 ? "," : ", ";
    }
    return text.append(")");
}

// The count x columns floats of a float32 buffer of that shape, through its strides.
void copy_rows(const Py_buffer& view, int count, Py_ssize_t columns, float* out) {
    const Py_ssize_t row_stride = view.strides[0];
    const Py_ssize_t column_stride = view.ndim == 2 ? view.strides[1] : 4;
    const auto* base = static_cast<const char*>(view.buf);
    for (Py_ssize_t r = 0; r < count; ++r) {
        const char* row = base + r * row_stride;
        float* into = out + r * columns;
        if (column_stride == 4) {
            std::memcpy(into, row, static_cast<std::size_t>(columns) * sizeof(float));
        } else {
            for (Py_ssize_t c = 0; c < columns; ++c) std::memcpy(into + c, row + c * column_stride, sizeof(float));
        }
    }
}

// One part of the evaluator's answer as count x columns float32 (columns 1: (count,) or
// (count, 1)), any float dtype; TypeError or ValueError naming what was expected. A native
// float32 array is read where it lies, with its strides (a slice of a wider output, say);
// other float dtypes are converted by NumPy first.
void read_part(PyObject* numpy, PyObject* object, const char* name, int count, Py_ssize_t columns,
               std::vector<float>& out) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "(" + std::string chains.
    std::string expected = "(";
    expected.append(std::to_string(count)).append(columns == kCells ? ", 81)" : ",)");
    std::string part = "the evaluator's ";
    part.append(name);
    Ref source = float_array(numpy, object, std::string(part).append(": expected a float array of shape ").append(expected));
    if (!native_float32(*View(source.get())))
        source = Ref::checked(PyObject_CallMethod(numpy, "ascontiguousarray", "Os", source.get(), "float32"));
    const View view(source.get());
    const Py_buffer& v = *view;
    const bool rows = v.ndim >= 1 && v.shape[0] == count;
    const bool shaped = columns == kCells ? rows && v.ndim == 2 && v.shape[1] == kCells
                                          : rows && (v.ndim == 1 || (v.ndim == 2 && v.shape[1] == 1));
    if (!shaped) raise(PyExc_ValueError, part.append(": expected shape ").append(expected).append(", got ").append(shape_text(v)));
    out.resize(static_cast<std::size_t>(count * columns));
    copy_rows(v, count, columns, out.data());
}

// The evaluator's answer for count leaves: logits (count, 81) and values (count,) or
// (count, 1). Logits of illegal cells are never read (-inf there is a common mask); the
// rest, and the values, must be finite.
void read_answer(PyObject* answer, int count, const std::uint8_t* legal, std::vector<float>& logits,
                 std::vector<float>& values) {
    if (!PyTuple_Check(answer) || PyTuple_GET_SIZE(answer) != 2) {
        raise(PyExc_TypeError, std::string("the evaluator must return a tuple (logits, values), got '") +
                                   Py_TYPE(answer)->tp_name + "'");
    }
    Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
    read_part(numpy.get(), PyTuple_GET_ITEM(answer, 0), "logits", count, kCells, logits);
    read_part(numpy.get(), PyTuple_GET_ITEM(answer, 1), "values", count, 1, values);
    for (std::size_t k = 0; k < static_cast<std::size_t>(count); ++k) {
        if (!std::isfinite(values[k])) {
            raise(PyExc_ValueError, "the evaluator's values: expected finite numbers, got " +
                                        std::to_string(values[k]) + " in row " + std::to_string(k));
        }
    }
    for (std::size_t at = 0; at < logits.size(); ++at) {
        if (legal[at] != 0 && !std::isfinite(logits[at])) {
            raise(PyExc_ValueError, "the evaluator's logits: expected finite numbers at the legal cells, got " +
                                        std::to_string(logits[at]) + " in row " + std::to_string(at / kCells) +
                                        " at cell " + std::to_string(at % kCells));
        }
    }
}

PyObject* run(PyObject* self, PyObject* evaluator) {
    return lab_entry([&] {
        if (PyCallable_Check(evaluator) == 0) {
            raise(PyExc_TypeError, std::string("argument 'evaluator': expected a callable, got '") +
                                       Py_TYPE(evaluator)->tp_name + "'");
        }
        BatchBody& b = body(self);
        // Held while the evaluator runs: an evaluator that calls back into this batch is refused.
        ExclusiveBorrow borrow(b.borrow);
        mcts::SearchBatch& batch = *b.batch;
        std::vector<float> logits;
        std::vector<float> values;
        int count = 0;
        {
            ReleasedGil released;
            count = batch.gather();
        }
        while (count > 0) {
            const auto n = static_cast<std::size_t>(count);
            Ref block = new_native_block(n * (kPlaneValues + kCells));
            auto* planes_data = reinterpret_cast<std::int8_t*>(block_data(block.get()));
            auto* legal_data = reinterpret_cast<std::uint8_t*>(block_data(block.get())) + n * kPlaneValues;
            {
                ReleasedGil released;
                batch.write_leaves(planes_data, legal_data);
            }
            Ref rows = view_array(block.get(), "int8", 0, count, kPlaneValues);
            Ref planes = Ref::checked(PyObject_CallMethod(rows.get(), "reshape", "iiii", count, kGridSide, kGridSide,
                                                          kPlaneChannels));
            Ref legal = view_array(block.get(), "bool", n * kPlaneValues, count, kCells);
            // An exception here or below drops this round's leaves (their virtual loss taken
            // back): every tree is as it was before the round.
            try {
                Ref answer = Ref::checked(PyObject_CallFunctionObjArgs(evaluator, planes.get(), legal.get(), nullptr));
                read_answer(answer.get(), count, legal_data, logits, values);
            } catch (...) {
                batch.abandon();
                throw;
            }
            {
                // The values backed up and the next round gathered in one pass over the trees.
                ReleasedGil released;
                count = batch.scatter_and_gather(logits.data(), values.data());
            }
            if (PyErr_CheckSignals() < 0) {  // Ctrl-C stops between rounds
                batch.abandon();
                throw ErrorSet{};
            }
        }
        Ref results = Ref::checked(PyList_New(static_cast<Py_ssize_t>(batch.size())));
        for (std::size_t i = 0; i < batch.size(); ++i) {
            PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), wrap_search_result(batch.result(i)));
        }
        return results.release();
    });
}

PyObject* check_trees(PyObject* self, PyObject*) {
    return lab_entry([&] {
        const std::string fault = [&] {
            SharedBorrow borrow(body(self).borrow);
            return body(self).batch->check_trees();
        }();
        return PyUnicode_FromStringAndSize(fault.data(), static_cast<Py_ssize_t>(fault.size()));
    });
}

PyMethodDef kMethods[] = {
    {"run", run, METH_O,
     "run($self, evaluator, /)\n--\n\n"
     "Runs every tree to its budget, calling evaluator(planes, legal) once a round with the\n"
     "leaves of all trees, and returns one SearchResult per position. An exception from the\n"
     "evaluator (or a refused answer) leaves every tree as it was before that round: run()\n"
     "again goes on from there. Calling run() of this batch from the evaluator raises\n"
     "RuntimeError."},
    {"check_trees", check_trees, METH_NOARGS,
     "check_trees($self, /)\n--\n\nAn empty string when every tree is consistent, else the first fault."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<BatchBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(
         "SearchBatch(positions, *, simulations, threads=1, seed=None, c_puct=1.5, dirichlet_alpha=0.3,\n"
         "            dirichlet_fraction=0.0, temperature=0.0, pool_nodes=4194304, leaves_per_tree=1,\n"
         "            seeds=None)\n--\n\n"
         "Guided searches of many positions advanced together, their leaves evaluated by the\n"
         "caller once a round (see search_batch).")},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab._core.SearchBatch", sizeof(Instance<BatchBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* search_batch_type() { return type_once(g_type, kSpec, "SearchBatch"); }

}  // namespace nonagame::py
