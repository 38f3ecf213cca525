#include "network_type.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "gil.hpp"
#include "heap_type.hpp"
#include "lab_args.hpp"
#include "numpy_api.hpp"
#include "planes.hpp"
#include "position_type.hpp"

namespace nonagame::py {

namespace {

// Rows evaluated per forward call: bounds the scratch memory of a large batch, and signals
// are checked every kChunksPerSignalCheck chunks.
constexpr std::size_t kChunkRows = 256;
constexpr std::size_t kChunksPerSignalCheck = 64;

struct NetworkBody {
    std::shared_ptr<const net::Network> network;
};

NetworkBody& body(PyObject* self) { return Instance<NetworkBody>::of(self); }

std::string type_name(PyObject* object) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return utf8;
}

// A buffer taken with its shape, strides and format, given back at the end of the scope.
// Holding it blocks resizing of a NumPy array.
class Buffer {
public:
    // False (with no error set) when the object has no buffer of that kind.
    bool take(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) return held_ = true;
        PyErr_Clear();
        return false;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const Py_buffer& view() const { return view_; }
    // The struct-module format without a native or little-endian byte-order mark.
    std::string_view format() const {
        std::string_view f = view_.format != nullptr ? view_.format : "B";
        if (!f.empty() && (f.front() == '@' || f.front() == '=' || f.front() == '<')) f.remove_prefix(1);
        return f;
    }
    std::vector<std::int64_t> shape() const {
        return {view_.shape, view_.shape + view_.ndim};
    }
    Py_ssize_t count() const {
        Py_ssize_t n = 1;
        for (int d = 0; d < view_.ndim; ++d) n *= view_.shape[d];
        return n;
    }
    // Calls f(pointer to element) for every element in C order.
    template <class F>
    void for_each(F&& f) const {
        const Py_ssize_t n = count();
        std::vector<Py_ssize_t> index(static_cast<std::size_t>(view_.ndim), 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char* p = static_cast<const char*>(view_.buf);
            for (int d = 0; d < view_.ndim; ++d) p += index[static_cast<std::size_t>(d)] * view_.strides[d];
            f(p);
            for (int d = view_.ndim - 1; d >= 0; --d) {
                if (++index[static_cast<std::size_t>(d)] < view_.shape[d]) break;
                index[static_cast<std::size_t>(d)] = 0;
            }
        }
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The dtype of an array-like for a message: str(object.dtype), else the buffer's format.
std::string dtype_name(PyObject* object, const Buffer& buffer) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(object, "dtype"));
    Ref text = dtype ? Ref::steal(PyObject_Str(dtype.get())) : Ref();
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 != nullptr) return utf8;
    PyErr_Clear();
    std::string name = "'";
    return name.append(buffer.format()).append("' elements");
}

// A str, bytes or one-element string array, as text; nothing for anything else.
std::optional<std::string> text_of(PyObject* value, const Buffer* buffer) {
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) throw ErrorSet{};
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    if (PyBytes_Check(value)) return std::string(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    if (buffer == nullptr || buffer->count() != 1) return std::nullopt;
    const std::string_view format = buffer->format();
    if (format.empty() || (format.back() != 'w' && format.back() != 's')) return std::nullopt;
    // Unicode arrays hold UCS4 code points, bytes arrays bytes, padded with NULs.
    Ref item = Ref::checked(PyObject_CallMethod(value, "item", nullptr));
    if (PyBytes_Check(item.get()) || PyUnicode_Check(item.get())) return text_of(item.get(), nullptr);
    return std::nullopt;
}

// One value of the mapping as the engine reads it. Float32 arrays are copied (the running
// total of floats counted in floats, refused past the 64 MiB limit before anything is copied).
net::NamedArray read_array(std::string name, PyObject* value, std::size_t& floats) {
    net::NamedArray array;
    array.name = std::move(name);
    Buffer buffer;
    const bool has_buffer = !PyUnicode_Check(value) && !PyBytes_Check(value) && buffer.take(value);
    if (const std::optional<std::string> text = text_of(value, has_buffer ? &buffer : nullptr)) {
        array.kind = net::NamedArray::Kind::Text;
        array.dtype = "str";
        array.text = *text;
        return array;
    }
    if (!has_buffer) {
        array.dtype = type_name(value);
        return array;
    }
    array.shape = buffer.shape();
    if (buffer.format() != "f" || buffer.view().itemsize != 4) {
        array.dtype = dtype_name(value, buffer);
        return array;
    }
    const auto count = static_cast<std::size_t>(buffer.count());
    floats += count;
    if (floats > net::kMaxBytes / sizeof(float))
        raise(PyExc_ValueError, array.name + ": expected at most 64 MiB of weights in all, got " +
                                    std::to_string(floats * sizeof(float)) + " bytes so far");
    array.kind = net::NamedArray::Kind::Float32;
    array.dtype = "float32";
    array.values.reserve(count);
    buffer.for_each([&array](const char* p) {
        float x = 0;
        std::memcpy(&x, p, sizeof x);
        array.values.push_back(x);
    });
    return array;
}

PyObject* from_arrays(PyObject* cls, PyObject* mapping) {
    return lab_entry([&] {
        if (!PyDict_Check(mapping) && (!PyMapping_Check(mapping) || PyUnicode_Check(mapping)))
            raise(PyExc_TypeError, "argument 'mapping': expected a mapping of names to float32 arrays, got '" +
                                       type_name(mapping) + "'");
        Ref items = Ref::checked(PyMapping_Items(mapping));
        std::vector<net::NamedArray> arrays;
        std::size_t floats = 0;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
                raise(PyExc_TypeError, "argument 'mapping': items() must give (key, value) pairs");
            PyObject* key = PyTuple_GET_ITEM(item, 0);
            if (!PyUnicode_Check(key))
                raise(PyExc_ValueError, "expected str keys (format, hidden.{i}.weight, ...), got a key of type '" +
                                            type_name(key) + "'");
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
            if (utf8 == nullptr) throw ErrorSet{};
            arrays.push_back(read_array(std::string(utf8, static_cast<std::size_t>(size)), PyTuple_GET_ITEM(item, 1), floats));
        }
        std::shared_ptr<const net::Network> network;
        std::string refusal;
        {
            ReleasedGil released;
            try {
                network = std::make_shared<const net::Network>(net::network_from_arrays(std::move(arrays)));
            } catch (const std::invalid_argument& error) {
                refusal = error.what();
            }
        }
        if (!network) raise(PyExc_ValueError, refusal);
        return allocate<NetworkBody>(reinterpret_cast<PyTypeObject*>(cls), std::move(network));
    });
}

Ref float32_array(std::initializer_list<Py_ssize_t> dims, float** data) {
    return Ref::checked(new_float32_array(static_cast<int>(dims.size()), dims.begin(), data));
}

PyObject* arrays(PyObject* self, PyObject*) {
    return lab_entry([&] {
        const std::vector<net::NamedArray> named = net::network_arrays(*body(self).network);
        Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
        Ref result = Ref::checked(PyDict_New());
        for (const net::NamedArray& array : named) {
            Ref value;
            if (array.kind == net::NamedArray::Kind::Text) {
                value = Ref::checked(PyObject_CallMethod(numpy.get(), "array", "s", array.text.c_str()));
            } else {
                float* data = nullptr;
                std::vector<Py_ssize_t> dims(array.shape.begin(), array.shape.end());
                value = Ref::checked(new_float32_array(static_cast<int>(dims.size()), dims.data(), &data));
                std::copy(array.values.begin(), array.values.end(), data);
            }
            if (PyDict_SetItemString(result.get(), array.name.c_str(), value.get()) < 0) throw ErrorSet{};
        }
        return result.release();
    });
}

// Evaluates rows of planes in chunks without the interpreter lock, Ctrl-C checked between
// chunks. logits: rows x 81, values: rows.
void forward_rows(const net::Network& network, const std::vector<std::int8_t>& planes, std::size_t rows,
                  float* logits, float* values) {
    net::AlignedFloats scratch(network.scratch_size(static_cast<int>(std::min(rows, kChunkRows))));
    bool interrupted = false;
    {
        ReleasedGil released;
        for (std::size_t start = 0, chunk = 0; start < rows && !interrupted; start += kChunkRows, ++chunk) {
            if (chunk > 0 && chunk % kChunksPerSignalCheck == 0)
                interrupted = released.with_gil([] { return PyErr_CheckSignals(); }) < 0;
            const std::size_t n = std::min(kChunkRows, rows - start);
            network.forward(planes.data() + start * net::kInputs, static_cast<int>(n), logits + start * net::kMoves,
                            values + start, scratch.data());
        }
    }
    if (interrupted) throw ErrorSet{};
}

// The planes and legal cells of one position, for the side to move.
void add_position(PyObject* object, std::int8_t* planes, std::uint8_t* legal) {
    const auto write = [&](const GameRecord& record) {
        write_planes(record, record.next_player, planes);
        legal_cells(record).for_each([legal](int cell) { legal[cell] = 1; });
    };
    if (is_position(object)) {
        write(position_value(object).record());
    } else {
        write(position_record(object, "positions"));
    }
}

// One position or a sequence of them, each converted, then one released forward pass.
PyObject* evaluate(PyObject* self, PyObject* positions) {  // NOLINT(readability-function-cognitive-complexity)
    return lab_entry([&]() -> PyObject* {
        const std::shared_ptr<const net::Network> network = body(self).network;
        // One position: (policy (81,), value float). A sequence: (policy (B, 81), value (B,)).
        const bool single = is_position(positions) || !PySequence_Check(positions) || PyUnicode_Check(positions);
        Ref sequence = single ? Ref() : Ref::checked(PySequence_Fast(positions, "argument 'positions': expected a sequence"));
        const Py_ssize_t count = single ? 1 : PySequence_Fast_GET_SIZE(sequence.get());
        const auto rows = static_cast<std::size_t>(count);
        std::vector<std::int8_t> planes(rows * net::kInputs);
        std::vector<std::uint8_t> legal(rows * net::kMoves, 0);
        for (std::size_t r = 0; r < rows; ++r) {
            PyObject* item = single ? positions : PySequence_Fast_ITEMS(sequence.get())[r];
            add_position(item, planes.data() + r * net::kInputs, legal.data() + r * net::kMoves);
        }
        float* policy = nullptr;
        float* values = nullptr;
        float single_value = 0.0F;
        Ref policy_array = single ? float32_array({net::kMoves}, &policy) : float32_array({count, net::kMoves}, &policy);
        Ref value_array = single ? Ref() : float32_array({count}, &values);
        if (single) values = &single_value;
        std::vector<float> logits(rows * net::kMoves);
        forward_rows(*network, planes, rows, logits.data(), values);
        for (std::size_t r = 0; r < rows; ++r)
            net::masked_softmax(logits.data() + r * net::kMoves, legal.data() + r * net::kMoves,
                                policy + r * net::kMoves);
        if (single) value_array = Ref::checked(PyFloat_FromDouble(single_value));
        return PyTuple_Pack(2, policy_array.get(), value_array.get());
    });
}

// The rows of a (B, 9, 9, 3) int8 planes array and its (B, 81) bool mask, or ValueError /
// TypeError naming what was expected. Copies the planes.
std::size_t read_planes(PyObject* planes_object, PyObject* legal_object, std::vector<std::int8_t>& planes) {
    Buffer planes_buffer;
    Buffer legal_buffer;
    if (!planes_buffer.take(planes_object))
        raise(PyExc_TypeError, "argument 'planes': expected an int8 array of shape (B, 9, 9, 3), got '" +
                                   type_name(planes_object) + "'");
    if (!legal_buffer.take(legal_object))
        raise(PyExc_TypeError, "argument 'legal': expected a bool array of shape (B, 81), got '" +
                                   type_name(legal_object) + "'");
    const Py_buffer& p = planes_buffer.view();
    const Py_buffer& l = legal_buffer.view();
    const auto shape_text = [](const Buffer& b) {
        std::string text = "(";
        for (int d = 0; d < b.view().ndim; ++d) text.append(d > 0 ? ", " : "").append(std::to_string(b.view().shape[d]));
        return text.append(b.view().ndim == 1 ? ",)" : ")");
    };
    if (planes_buffer.format() != "b" || p.itemsize != 1)
        raise(PyExc_TypeError, "argument 'planes': expected an int8 array of shape (B, 9, 9, 3), got dtype " +
                                   dtype_name(planes_object, planes_buffer));
    if (p.ndim != 4 || p.shape[1] != 9 || p.shape[2] != 9 || p.shape[3] != 3)
        raise(PyExc_ValueError, "argument 'planes': expected shape (B, 9, 9, 3), got " + shape_text(planes_buffer));
    if (legal_buffer.format() != "?" || l.itemsize != 1)
        raise(PyExc_TypeError, "argument 'legal': expected a bool array of shape (B, 81), got dtype " +
                                   dtype_name(legal_object, legal_buffer));
    if (l.ndim != 2 || l.shape[0] != p.shape[0] || l.shape[1] != net::kMoves)
        raise(PyExc_ValueError, "argument 'legal': expected shape (" + std::to_string(p.shape[0]) +
                                    ", 81) to match the planes, got " + shape_text(legal_buffer));
    const auto rows = static_cast<std::size_t>(p.shape[0]);
    planes.resize(rows * net::kInputs);
    if (PyBuffer_IsContiguous(&p, 'C') != 0) {
        if (!planes.empty()) std::memcpy(planes.data(), p.buf, planes.size());
        return rows;
    }
    std::size_t i = 0;
    planes_buffer.for_each([&](const char* e) { planes[i++] = static_cast<std::int8_t>(*e); });
    return rows;
}

PyObject* evaluate_planes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return lab_entry([&] {
        if (nargs != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0))
            raise(PyExc_TypeError, "evaluate_planes() takes exactly 2 positional arguments (planes, legal)");
        const std::shared_ptr<const net::Network> network = body(self).network;
        std::vector<std::int8_t> planes;
        const std::size_t rows = read_planes(args[0], args[1], planes);
        const auto count = static_cast<Py_ssize_t>(rows);
        float* logits = nullptr;
        float* values = nullptr;
        Ref logits_array = float32_array({count, net::kMoves}, &logits);
        Ref value_array = float32_array({count}, &values);
        forward_rows(*network, planes, rows, logits, values);
        return PyTuple_Pack(2, logits_array.get(), value_array.get());
    });
}

PyObject* get_hidden_sizes(PyObject* self, void*) {
    return lab_entry([&] {
        const std::vector<net::Dense>& hidden = body(self).network->hidden();
        Ref sizes = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(hidden.size())));
        for (std::size_t i = 0; i < hidden.size(); ++i)
            PyTuple_SET_ITEM(sizes.get(), static_cast<Py_ssize_t>(i), Ref::checked(PyLong_FromLong(hidden[i].out)).release());
        return sizes.release();
    });
}

PyObject* get_parameters(PyObject* self, void*) {
    return PyLong_FromSize_t(body(self).network->parameter_count());
}

PyObject* get_simd(PyObject*, void*) { return PyUnicode_FromString(net::simd_name(net::best_simd())); }

PyObject* repr(PyObject* self) {
    return lab_entry([&] {
        std::string text = "Network(hidden=(";
        const std::vector<net::Dense>& hidden = body(self).network->hidden();
        for (std::size_t i = 0; i < hidden.size(); ++i) text.append(i > 0 ? ", " : "").append(std::to_string(hidden[i].out));
        text.append(hidden.size() == 1 ? ",)" : ")");
        text.append(", parameters=").append(std::to_string(body(self).network->parameter_count())).append(")");
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* network_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "Network cannot be created directly: use Network.load(path) or Network.from_arrays(mapping)");
    return nullptr;
}

PyMethodDef kMethods[] = {
    {"from_arrays", from_arrays, METH_O | METH_CLASS,
     "from_arrays(mapping, /)\n--\n\n"
     "The network of a mapping of names to float32 arrays, as a PyTorch nn.Sequential state dict\n"
     "names them: format = 'nonagame-mlp-1', hidden.{i}.weight (out, in), hidden.{i}.bias (out,),\n"
     "policy.weight (81, H), policy.bias (81,), value.weight (1, H), value.bias (1,). Missing, extra\n"
     "or misshaped keys, other dtypes, layers that do not chain and non-finite values raise\n"
     "ValueError naming the key and the shape expected."},
    {"arrays", arrays, METH_NOARGS,
     "arrays($self, /)\n--\n\nThe weights as a new dict of float32 arrays (and the format string), as from_arrays reads them."},
    {"evaluate", evaluate, METH_O,
     "evaluate($self, positions, /)\n--\n\n"
     "(policy, value) for a sequence of positions (Position, nonagame.Game or nonagame.State):\n"
     "policy (B, 81) float32, the softmax of the policy head over each position's legal cells\n"
     "(cell order, 0 elsewhere, all 0 when the game is over), value (B,) float32 for the side to\n"
     "move. One position (not in a sequence) gives policy (81,) and value as a float. Runs\n"
     "without the interpreter lock."},
    {"evaluate_planes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(evaluate_planes)),
     METH_FASTCALL | METH_KEYWORDS,
     "evaluate_planes($self, planes, legal, /)\n--\n\n"
     "The raw heads (logits (B, 81) float32 in cell order, values (B,) float32 after tanh) for\n"
     "(B, 9, 9, 3) int8 planes as envs.position_planes gives them. legal, a (B, 81) bool mask,\n"
     "is checked for its shape only: the logits of every cell are returned, unmasked."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"hidden_sizes", get_hidden_sizes, nullptr, "The widths of the hidden layers.", nullptr},
    {"parameters", get_parameters, nullptr, "The number of weights and biases.", nullptr},
    {"simd", get_simd, nullptr, "The kernels this processor runs: 'avx512', 'avx2' or 'portable'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(network_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<NetworkBody>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
         "A policy-value network evaluated natively: ReLU hidden layers over the 243 input planes,\n"
         "a policy head of 81 logits and a tanh value head. Immutable; any number of threads may\n"
         "evaluate it at once.")},
    {0, nullptr},
};

// A base type: nonagame_lab.Network adds loading and saving files in Python.
PyType_Spec kSpec{"nonagame_lab._core.Network", sizeof(Instance<NetworkBody>), 0,
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* network_type() { return type_once(g_type, kSpec, "Network"); }

bool is_network(PyObject* object) { return PyObject_TypeCheck(object, network_type()) != 0; }

std::shared_ptr<const net::Network> network_of(PyObject* object) { return body(object).network; }

}  // namespace nonagame::py
