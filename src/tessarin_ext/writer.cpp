#include "tessarin_ext/writer.hpp"

#include "common/args.hpp"
#include "tessarin_ext/host.hpp"

namespace tessarin {

PyObject* call_writer(const EntryPoint& entry, Writer write, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* bound[4];
    if (bind(entry, args, nargs, kwnames, bound) < 0) return nullptr;
    int32_t width, height;
    if (to_int32(bound[1], &width) < 0 || to_int32(bound[2], &height) < 0) return nullptr;
    if (!write(bound[0], width, height, bound[3])) return nullptr;
    Py_RETURN_NONE;
}

Ref pixel_buffer(PyObject* pixels) {
    return PyByteArray_Check(pixels) ? Ref::borrow(pixels) : host::bytearray(pixels);
}

}  // namespace tessarin
