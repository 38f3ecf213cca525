#include "network_link.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "pyref.hpp"

namespace nonagame::py {

namespace {

// The array under key as C-ordered float32, with its shape; nullopt-like empty shape when absent.
bool read_array(PyObject* arrays, PyObject* numpy, const std::string& key, std::vector<float>& data,
                std::vector<Py_ssize_t>& shape) {
    Ref name = Ref::checked(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    PyObject* item = PyObject_GetItem(arrays, name.get());
    if (item == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw ErrorSet{};
        PyErr_Clear();
        return false;
    }
    Ref held = Ref::steal(item);
    Ref array = Ref::checked(PyObject_CallMethod(numpy, "ascontiguousarray", "Os", item, "float32"));
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS) < 0) throw ErrorSet{};
    shape.assign(view.shape, view.shape + view.ndim);
    data.resize(static_cast<std::size_t>(view.len) / sizeof(float));
    if (view.len > 0) std::memcpy(data.data(), view.buf, static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
}

// The layer named prefix: weight (out, in) and bias (out,), with in and out as found.
net::Dense read_layer(PyObject* arrays, PyObject* numpy, const std::string& prefix, bool required, bool& found) {
    net::Dense layer;
    std::vector<Py_ssize_t> weight_shape;
    std::vector<Py_ssize_t> bias_shape;
    found = read_array(arrays, numpy, prefix + ".weight", layer.weight, weight_shape);
    if (!found) {
        if (required) raise(PyExc_ValueError, "network: missing key '" + prefix + ".weight'");
        return layer;
    }
    if (weight_shape.size() != 2) {
        raise(PyExc_ValueError, "network: '" + prefix + ".weight' expected shape (out, in), got " +
                                    std::to_string(weight_shape.size()) + " dimensions");
    }
    layer.out = static_cast<int>(weight_shape[0]);
    layer.in = static_cast<int>(weight_shape[1]);
    if (!read_array(arrays, numpy, prefix + ".bias", layer.bias, bias_shape)) {
        raise(PyExc_ValueError, "network: missing key '" + prefix + ".bias'");
    }
    if (bias_shape.size() != 1 || bias_shape[0] != layer.out) {
        raise(PyExc_ValueError, "network: '" + prefix + ".bias' expected shape (" + std::to_string(layer.out) + ",)");
    }
    return layer;
}

}  // namespace

std::shared_ptr<const net::Network> network_value(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (PyUnicode_Check(object) != 0 || PyObject_HasAttrString(object, "__fspath__") != 0) {
        // A name ("baseline", "none") or a file: the package's Python side finds the network.
        Ref module = Ref::checked(PyImport_ImportModule("nonagame_lab._network"));
        Ref found = Ref::checked(PyObject_CallMethod(module.get(), "network_from_name", "Os", object, name));
        if (found.get() == Py_None) return nullptr;
        if (PyUnicode_Check(found.get()) != 0 || PyObject_HasAttrString(found.get(), "__fspath__") != 0) {
            raise(PyExc_TypeError, std::string("argument '") + name + "': a name did not give a network");
        }
        return network_value(found.get(), name);
    }
    if (PyObject_HasAttrString(object, "arrays") == 0) {
        raise(PyExc_TypeError, std::string("argument '") + name +
                                   "': expected a nonagame_lab.Network, 'baseline', 'none', a path or None, got '" +
                                   Py_TYPE(object)->tp_name + "'");
    }
    Ref arrays = Ref::checked(PyObject_CallMethod(object, "arrays", nullptr));
    Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
    std::vector<net::Dense> hidden;
    for (int i = 0;; ++i) {
        bool found = false;
        net::Dense layer = read_layer(arrays.get(), numpy.get(), "hidden." + std::to_string(i), false, found);
        if (!found) break;
        hidden.push_back(std::move(layer));
    }
    bool found = false;
    net::Dense policy = read_layer(arrays.get(), numpy.get(), "policy", true, found);
    net::Dense value = read_layer(arrays.get(), numpy.get(), "value", true, found);
    try {
        return std::make_shared<const net::Network>(std::move(hidden), std::move(policy), std::move(value));
    } catch (const std::invalid_argument& error) {
        raise(PyExc_ValueError, std::string("network: ") + error.what());
    }
}

}  // namespace nonagame::py
