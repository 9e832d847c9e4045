#include "tessarin_ext/host.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "common/errors.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::host {

namespace {

// Reads up to this size go in one call whatever the file holds: the host's
// reservation for them costs little.
constexpr Py_ssize_t smallest_piece = Py_ssize_t{1} << 20;

// How many bytes the host's file `file` holds past its position; 0 when
// that is not known (not a regular file), -1 with the exception pending.
// The size and kind come from the host's os.fstat: the C library's fstat is
// a symbol of recent glibc versions only, which portable wheels cannot use.
Py_ssize_t bytes_left(PyObject* file) {
    const int descriptor = PyObject_AsFileDescriptor(file);
    if (descriptor < 0) return -1;
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    Ref status = Ref::steal(PyObject_CallMethod(os.get(), "fstat", "i", descriptor));
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref mode = Ref::steal(PyObject_GetAttrString(status.get(), "st_mode"));
    if (!mode) return -1;
    const long mode_bits = PyLong_AsLong(mode.get());
    if (mode_bits == -1 && PyErr_Occurred()) return -1;
    if (!S_ISREG(mode_bits)) return 0;
    Ref size = Ref::steal(PyObject_GetAttrString(status.get(), "st_size"));
    if (!size) return -1;
    const long long file_size = PyLong_AsLongLong(size.get());
    if (file_size == -1 && PyErr_Occurred()) return -1;
    Ref position = call_method(file, state.names.tell);
    if (!position) return -1;
    const long long at = PyLong_AsLongLong(position.get());
    if (at == -1 && PyErr_Occurred()) return -1;
    const long long left = std::clamp<long long>(file_size - at, 0, PY_SSIZE_T_MAX);
    return static_cast<Py_ssize_t>(left);
}

// file.read(size) as reads of smallest_piece bytes, then of what has been
// read so far, up to `size` bytes or the first short read, which the host's
// reader gives only at the file's end: the same bytes as one read, in
// memory that grows with what the file holds.
Ref read_in_pieces(PyObject* file, Py_ssize_t size) {
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return {};
    Py_ssize_t total = 0;
    for (Py_ssize_t piece = smallest_piece; total < size; piece = total) {
        const Py_ssize_t wanted = std::min(piece, size - total);
        Ref count = Ref::steal(PyLong_FromSsize_t(wanted));
        if (!count) return {};
        Ref part = call_method(file, state.names.read, count.get());
        if (!part) return {};
        const Py_ssize_t got = PyObject_Length(part.get());
        if (got < 0) return {};
        if (got > 0 && PyList_Append(pieces.get(), part.get()) < 0) return {};
        total += got;
        if (got < wanted) break;
    }
    if (PyList_GET_SIZE(pieces.get()) == 1) return Ref::borrow(PyList_GET_ITEM(pieces.get(), 0));
    return call_method(state.constants.empty_bytes, state.names.join, pieces.get());
}

}  // namespace

Ref read(PyObject* stream, PyObject* size, StreamOrigin origin) {
    if (origin == StreamOrigin::module && reinterpret_cast<PyObject*>(Py_TYPE(stream)) == state.host_file_type &&
        PyLong_CheckExact(size)) {
        int overflow = 0;
        const long long wanted = PyLong_AsLongLongAndOverflow(size, &overflow);
        if (wanted == -1 && PyErr_Occurred()) return {};
        if (!overflow && wanted > smallest_piece && wanted <= PY_SSIZE_T_MAX) {
            const Py_ssize_t left = bytes_left(stream);
            if (left < 0) return {};
            if (wanted > left) return read_in_pieces(stream, static_cast<Py_ssize_t>(wanted));
        }
    }
    return call_method(stream, state.names.read, size);
}

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.home.dict, name);
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(state.builtins_dict, name);
    if (found) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {

// global_name.function(*stack[1:count + 1]), the module global read now.
Ref call_global_method(PyObject* global_name, PyObject* function, PyObject** stack, size_t count) {
    Ref module = global(global_name);
    if (!module) return {};
    stack[0] = module.get();
    return Ref::steal(
        PyObject_VectorcallMethod(function, stack, (count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

Ref struct_pack_stack(PyObject** stack, size_t count) {
    return call_global_method(state.names.struct_, state.names.pack, stack, count);
}

Ref struct_unpack(PyObject* format, PyObject* buffer) {
    PyObject* stack[] = {nullptr, format, buffer};
    return call_global_method(state.names.struct_, state.names.unpack, stack, 2);
}

Ref zlib_stack(PyObject* function, PyObject** stack, size_t count) {
    return call_global_method(state.names.zlib, function, stack, count);
}

int check_signals() { return check_signals(state.constants.signal_check); }

Ref open_file(PyObject* path, PyObject* mode) { return call(state.builtin_open, path, mode); }

Ref enter_context(PyObject* manager, Ref& exit) {
    exit = Ref::steal(PyObject_GetAttr(manager, state.names.exit));
    if (!exit) return {};
    return call_method(manager, state.names.enter);
}

Ref exit_context(PyObject* exit, Ref result) {
    if (result) {
        Ref exit_result = call(exit, Py_None, Py_None, Py_None);
        if (!exit_result) return {};
        return result;
    }
    SavedError error = SavedError::take_pending_normalized();
    Ref exit_result = call(exit, error.type(), error.value(), error.traceback());
    if (!exit_result) return {};
    int suppress = PyObject_IsTrue(exit_result.get());
    if (suppress < 0) return {};
    if (suppress) return Ref::borrow(Py_None);
    error.restore();
    return {};
}

int import_from(const char* module, PyObject* const* names, Py_ssize_t count, Ref* results) {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    if (!module_name) return -1;
    Ref from_list = Ref::steal(PyList_New(count));
    if (!from_list) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(names[i]);
        PyList_SET_ITEM(from_list.get(), i, names[i]);
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), state.home.dict, nullptr, from_list.get(), 0));
    if (!imported) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        results[i] = Ref::steal(PyObject_GetAttr(imported.get(), names[i]));
        if (results[i]) continue;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        // The host's submodule rule: sys.modules["<module>.<name>"].
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%U", module, names[i]));
        if (!full_name) return -1;
        PyObject* submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());
        if (!submodule) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", names[i]);
            return -1;
        }
        results[i] = Ref::borrow(submodule);
    }
    return 0;
}

}  // namespace tessarin::host
