#include "native_arrays.hpp"

#include <memory>
#include <new>
#include <string>

#include "errors.hpp"
#include "heap_type.hpp"
#include "lab_globals.hpp"

namespace nonagame::py {

namespace {

struct BlockBody {
    std::unique_ptr<std::byte[]> data;
    std::size_t size = 0;
};

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    BlockBody& body = Instance<BlockBody>::of(self);
    // Read-only: a request for a writable buffer fails with BufferError.
    return PyBuffer_FillInfo(view, self, body.data.get(), static_cast<Py_ssize_t>(body.size), 1, flags);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<BlockBody>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab._core._NativeBlock", sizeof(Instance<BlockBody>), 0, Py_TPFLAGS_DEFAULT,
                  kSlots};

PyTypeObject* block_type() {
    return type_once(g_lab.block_type, kSpec, "_NativeBlock");
}

PyObject* frombuffer() {
    if (g_lab.frombuffer == nullptr) {
        Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
        Ref function = Ref::checked(PyObject_GetAttrString(numpy.get(), "frombuffer"));
        // Another thread may have got here while the import ran Python code.
        if (g_lab.frombuffer == nullptr) g_lab.frombuffer = function.release();
    }
    return g_lab.frombuffer;
}

}  // namespace

Ref new_native_block(std::size_t size) {
    // One byte at least: an empty batch still exports a valid pointer. Zero-filled.
    std::unique_ptr<std::byte[]> data(new (std::nothrow) std::byte[size == 0 ? 1 : size]());
    if (!data) throw OutOfMemory("cannot allocate the " + std::to_string(size) + " bytes of the batch's arrays");
    return Ref::steal(allocate<BlockBody>(block_type(), std::move(data), size));
}

std::byte* block_data(PyObject* block) { return Instance<BlockBody>::of(block).data.get(); }

Ref view_array(PyObject* block, const char* dtype, std::size_t offset, Py_ssize_t rows,
               Py_ssize_t columns) {
    const Py_ssize_t count = columns > 0 ? rows * columns : rows;
    Ref flat = Ref::checked(PyObject_CallFunction(frombuffer(), "OsnN", block, dtype, count,
                                                  PyLong_FromSize_t(offset)));
    if (columns <= 0) return flat;
    return Ref::checked(PyObject_CallMethod(flat.get(), "reshape", "nn", rows, columns));
}

}  // namespace nonagame::py
