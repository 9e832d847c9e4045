// The host interpreter's services, reached through one place: module globals
// looked up at call time, the cached built-ins, imports, and the calls into
// struct, zlib, io, pathlib and files. Those that need no module state come
// from common/calls.hpp and common/host_compat.hpp.
#pragma once

#include <Python.h>

#include "common/calls.hpp"
#include "common/host_compat.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::host {

// The module global `name` as it is now: the module dictionary, then the
// built-ins; NameError when neither has it.
Ref global(PyObject* name);

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
