#include "tessarin_ext/writer.hpp"

#include <cstring>

#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/checked.hpp"
#include "common/pixel_buffer.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/state.hpp"

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

bool writes_whole_files() { return state.builtin_open == state.host_open; }

Ref joined_pieces(std::span<PyObject* const> pieces, Py_ssize_t room) {
    // Every view is held until the copies are made: taking one may run
    // Python code, which could change a piece measured before.
    BufferView views[most_joined_pieces];
    if (pieces.size() > most_joined_pieces) return PyErr_BadInternalCall(), Ref{};
    Py_ssize_t size = room;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (views[i].acquire(pieces[i]) < 0) return {};
        if (!checked_add(size, static_cast<Py_ssize_t>(views[i].bytes().size()), size)) {
            return PyErr_NoMemory(), Ref{};
        }
    }
    Ref joined = advised_bytearray(size);
    if (!joined) return {};
    char* out = PyByteArray_AS_STRING(joined.get());
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::memcpy(out, views[i].bytes().data(), views[i].bytes().size());
        out += views[i].bytes().size();
    }
    return joined;
}

}  // namespace tessarin
