#include "native_arrays.hpp"

#include <cstdlib>
#include <cstring>

#include "errors.hpp"
#include "heap_type.hpp"

namespace nonagame::py {

namespace {

struct BlockBody {
    std::byte* data = nullptr;
    std::size_t size = 0;

    BlockBody(std::byte* d, std::size_t s) : data(d), size(s) {}
    ~BlockBody() { std::free(data); }
    BlockBody(const BlockBody&) = delete;
    BlockBody& operator=(const BlockBody&) = delete;
};

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    BlockBody& body = Instance<BlockBody>::of(self);
    // Read-only: a request for a writable buffer fails with BufferError.
    return PyBuffer_FillInfo(view, self, body.data, static_cast<Py_ssize_t>(body.size), 1, flags);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<BlockBody>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab._core._NativeBlock", sizeof(Instance<BlockBody>), 0, Py_TPFLAGS_DEFAULT,
                  kSlots};

PyTypeObject* g_block_type = nullptr;
PyObject* g_frombuffer = nullptr;

PyTypeObject* block_type() {
    if (g_block_type == nullptr) g_block_type = create_type(kSpec, "_NativeBlock");
    return g_block_type;
}

PyObject* frombuffer() {
    if (g_frombuffer == nullptr) {
        Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
        Ref function = Ref::checked(PyObject_GetAttrString(numpy.get(), "frombuffer"));
        // Another thread may have got here while the import ran Python code.
        if (g_frombuffer == nullptr) g_frombuffer = function.release();
    }
    return g_frombuffer;
}

}  // namespace

Ref new_native_block(std::size_t size) {
    // One byte at least: an empty batch still exports a valid pointer.
    auto* data = static_cast<std::byte*>(std::calloc(size == 0 ? 1 : size, 1));
    if (data == nullptr) throw std::bad_alloc();
    PyTypeObject* type = block_type();
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) {
        std::free(data);
        throw ErrorSet{};
    }
    new (&reinterpret_cast<Instance<BlockBody>*>(raw)->body) BlockBody{data, size};
    return Ref::steal(raw);
}

std::byte* block_data(PyObject* block) { return Instance<BlockBody>::of(block).data; }

Ref view_array(PyObject* block, const char* dtype, std::size_t offset, Py_ssize_t rows,
               Py_ssize_t columns) {
    const Py_ssize_t count = columns > 0 ? rows * columns : rows;
    Ref flat = Ref::checked(PyObject_CallFunction(frombuffer(), "OsnN", block, dtype, count,
                                                  PyLong_FromSize_t(offset)));
    if (columns <= 0) return flat;
    return Ref::checked(PyObject_CallMethod(flat.get(), "reshape", "nn", rows, columns));
}

}  // namespace nonagame::py
