#include "tessarin_ext/host.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/errors.hpp"

namespace tessarin::host {

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.module_dict, name);
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(state.builtins_dict, name);
    if (found) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

#ifdef PYPY_VERSION

// PyPy's resize reports a failed allocation as SystemError, and its
// constructor takes the largest sizes for valid, with a length that wraps:
// such a size, which no allocator can give, is refused here and the rest
// go to the constructor, which raises MemoryError.
Ref uninitialised_bytearray(Py_ssize_t size) {
    if (size > PY_SSIZE_T_MAX / 2) return PyErr_NoMemory(), Ref{};
    return Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
}

int resize_private_bytearray(Ref& buffer, Py_ssize_t size) {
    Ref resized = uninitialised_bytearray(size);
    if (!resized) return -1;
    std::memcpy(PyByteArray_AS_STRING(resized.get()), PyByteArray_AS_STRING(buffer.get()),
                static_cast<size_t>(std::min(size, PyByteArray_GET_SIZE(buffer.get()))));
    buffer = std::move(resized);
    return 0;
}

Ref python_function(const char* source, const char* name, PyObject* globals) {
    Ref code = Ref::steal(Py_CompileString(source, "<Quorvel.tessarin_ext>", Py_file_input));
    if (!code) return {};
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals, globals));
    if (!done) return {};
    return Ref::steal(PyMapping_GetItemString(globals, name));
}

// PyPy's PyErr_CheckSignals does nothing: its handlers run only where Python
// code jumps backwards, which the loop of this function does once.
int check_signals() {
    Ref done = call(state.constants.signal_check);
    return done ? 0 : -1;
}

#else

// Grown from empty rather than allocated at its size: a bytearray whose
// first allocation fails is freed half-initialised by the host, which then
// reports a spurious SystemError next to the MemoryError.
Ref uninitialised_bytearray(Py_ssize_t size) {
    Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (buffer && PyByteArray_Resize(buffer.get(), size) < 0) return {};
    return buffer;
}

int resize_private_bytearray(Ref& buffer, Py_ssize_t size) { return PyByteArray_Resize(buffer.get(), size); }

int check_signals() { return PyErr_CheckSignals(); }

#endif

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
        PyImport_ImportModuleLevelObject(module_name.get(), state.module_dict, nullptr, from_list.get(), 0));
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
