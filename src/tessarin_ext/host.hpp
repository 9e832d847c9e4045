// The host interpreter's services, reached through one place: module globals
// looked up at call time, the cached built-ins, imports, and the calls into
// struct, zlib, io, pathlib and files.
#pragma once

#include <Python.h>

#include "common/ref.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::host {

// The module global `name` as it is now: the module dictionary, then the
// built-ins; NameError when neither has it.
Ref global(PyObject* name);

// callable(args...), each argument borrowed.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                          sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// object.name(args...), each argument borrowed.
template <typename... Args>
Ref call_method(PyObject* object, PyObject* name, Args... args) {
    PyObject* stack[] = {object, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// module_global.function(args...), the module global read at this call.
template <typename... Args>
Ref call_global_method(PyObject* global_name, PyObject* function, Args... args) {
    Ref module = global(global_name);
    if (!module) return {};
    return call_method(module.get(), function, args...);
}

template <typename... Args>
Ref struct_pack(PyObject* format, Args... values) {
    return call_global_method(state.names.struct_, state.names.pack, format, values...);
}

inline Ref struct_unpack(PyObject* format, PyObject* buffer) {
    return call_global_method(state.names.struct_, state.names.unpack, format, buffer);
}

template <typename... Args>
Ref zlib(PyObject* function, Args... args) {
    return call_global_method(state.names.zlib, function, args...);
}

// The host's bytearray(argument): a copy of a buffer or iterable, or a
// zeroed bytearray of a given size.
inline Ref bytearray(PyObject* argument) {
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), argument));
}

// A new bytearray of `size` bytes whose contents are not initialised; on
// CPython its pages are not touched until written (PyPy zeroes them). A size
// the host cannot allocate raises its MemoryError.
Ref uninitialised_bytearray(Py_ssize_t size);

// A bytearray that only the caller holds, resized to `size` bytes with its
// first bytes kept and the rest not initialised; it may be replaced by a new
// object. -1 with MemoryError when the host cannot allocate it.
int resize_private_bytearray(Ref& buffer, Py_ssize_t size);

#ifdef PYPY_VERSION
// The function `name` defined by the Python code `source`, run with the
// dictionary `globals`. PyPy's JIT compiles such a function with its caller,
// where a call into C costs a crossing of its C API emulation.
Ref python_function(const char* source, const char* name, PyObject* globals);
#endif

// Runs the host's handlers of the signals that arrived meanwhile, as the
// interpreter does between two lines of Python code; -1 with the exception
// a handler raised (KeyboardInterrupt for Ctrl-C).
int check_signals();

// The built-in `open` cached at initialisation.
inline Ref open_file(PyObject* path, PyObject* mode) {
    return call(state.builtin_open, path, mode);
}

// Runs `body(entered)` inside the context manager `manager`, as a `with`
// statement does: __exit__ is looked up first, then __enter__ called; __exit__
// receives the exception, if any, and may suppress it (the result is then
// None). Returns body's result or null with the exception pending.
template <typename Body>
Ref with_context(PyObject* manager, Body&& body);

// Leaves a context after `body` returned `result` (null when it raised).
Ref exit_context(PyObject* exit, Ref result);

template <typename Body>
Ref with_context(PyObject* manager, Body&& body) {
    Ref exit = Ref::steal(PyObject_GetAttr(manager, state.names.exit));
    if (!exit) return {};
    Ref entered = call_method(manager, state.names.enter);
    if (!entered) return {};
    return exit_context(exit.get(), body(entered.get()));
}

// `from module import names...`, absolute, with the module dictionary as
// globals; one result per name, in order.
int import_from(const char* module, PyObject* const* names, Py_ssize_t count, Ref* results);

}  // namespace tessarin::host
