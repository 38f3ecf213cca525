#include "numpy_api.hpp"

#include <cstring>
#include <string>

#include "boundary_globals.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace nonagame::py {

namespace {

using npy_intp = Py_ssize_t;
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                                   void*, int, PyObject*);

constexpr int kNpyBool = 0;
constexpr int kNpyByte = 1;
// NumPy's int64 is the C type of eight bytes: long where long has them, else long long.
constexpr int kNpyInt64 = sizeof(long) == 8 ? 7 : 9;
constexpr int kNpyFloat = 11;
constexpr int kNpyDouble = 12;
// Entries of the array API table that this module uses.
constexpr int kArrayTypeEntry = 2;
constexpr int kDescrFromTypeEntry = 45;
constexpr int kNewFromDescrEntry = 94;

// The head of a NumPy array object: its data pointer follows the object header in every
// NumPy version. Only arrays that this module has just created are read through it.
struct ArrayHead {
    PyObject ob_base;
    char* data;
};

void** locate_table() {
    Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
    Ref version = Ref::checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = Ref::checked(PyImport_ImportModule("numpy.lib"));
    Ref parsed = Ref::checked(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    Ref major_object = Ref::checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) throw ErrorSet{};
    if (major < 0 || major > 255) raise(PyExc_OverflowError, "NumPy major version out of range");
    const char* core = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = Ref::checked(PyImport_ImportModule(core));
    Ref capsule = Ref::checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) raise(PyExc_TypeError, "_ARRAY_API is not a capsule");
    const char* name = PyCapsule_GetName(capsule.get());  // may be NULL without an error
    if (name == nullptr && PyErr_Occurred()) throw ErrorSet{};
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr) throw ErrorSet{};
    // Another thread may have located the table while the imports ran Python code.
    if (g_boundary.numpy_table == nullptr) {
        capsule.release();  // held for ever so that the table stays valid
        g_boundary.numpy_table = static_cast<void**>(pointer);
    }
    return g_boundary.numpy_table;
}

void** table() {
    if (g_boundary.numpy_table != nullptr) return g_boundary.numpy_table;
    try {
        return locate_table();
    } catch (const ErrorSet&) {
        throw Fault(std::string(kNumpyUnreachable) + describe_current_error());
    }
}

// A new C-contiguous array of the NumPy type number, its elements uninitialised. With
// memory_error_passes, a MemoryError (an array too large for the machine) is passed on as
// it is rather than as an internal fault.
PyObject* new_array(int type_number, int ndim, const npy_intp* dims, bool memory_error_passes = false) {
    void** api = table();
    auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeEntry]);
    auto descr_from_type = reinterpret_cast<DescrFromType>(api[kDescrFromTypeEntry]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(api[kNewFromDescrEntry]);
    PyObject* descr = descr_from_type(type_number);
    if (descr == nullptr) api_call_failed();
    // Steals the descriptor reference, also when it fails.
    PyObject* array = new_from_descr(array_type, descr, ndim, dims, nullptr, nullptr, 0, nullptr);
    if (array == nullptr && memory_error_passes && PyErr_ExceptionMatches(PyExc_MemoryError)) throw ErrorSet{};
    if (array == nullptr) api_call_failed();
    return array;
}

}  // namespace

PyObject* new_int8_array(const std::int8_t* data, Py_ssize_t n) {
    const npy_intp dims[1] = {n};
    PyObject* array = new_array(kNpyByte, 1, dims);
    if (n > 0) std::memcpy(reinterpret_cast<ArrayHead*>(array)->data, data, static_cast<std::size_t>(n));
    return array;
}

PyObject* new_float32_array(int ndim, const Py_ssize_t* dims, float** data) {
    PyObject* array = new_array(kNpyFloat, ndim, dims, true);
    *data = reinterpret_cast<float*>(reinterpret_cast<ArrayHead*>(array)->data);
    return array;
}

PyObject* new_typed_array(ArrayType type, int ndim, const Py_ssize_t* dims, void** data) {
    int number = kNpyBool;
    switch (type) {
        case ArrayType::kBool: number = kNpyBool; break;
        case ArrayType::kInt8: number = kNpyByte; break;
        case ArrayType::kInt64: number = kNpyInt64; break;
        case ArrayType::kFloat64: number = kNpyDouble; break;
    }
    PyObject* array = new_array(number, ndim, dims, true);
    *data = reinterpret_cast<ArrayHead*>(array)->data;
    return array;
}

}  // namespace nonagame::py
