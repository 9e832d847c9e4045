// The host interpreter's services, reached through one place: module globals
// looked up at call time, the cached built-ins, imports, and the calls into
// struct, zlib, io, pathlib and files. Those that need no module state come
// from common/calls.hpp and common/host_compat.hpp.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/calls.hpp"
#include "common/host_compat.hpp"
#include "common/ref.hpp"

namespace tessarin::host {

// The module global `name` as it is now: the module dictionary, then the
// built-ins; NameError when neither has it.
Ref global(PyObject* name);

// struct.pack(*stack[1:count + 1]) and zlib.function(*stack[1:count + 1]),
// the module global read at this call; stack[0] is left for the module.
Ref struct_pack_stack(PyObject** stack, size_t count);
Ref zlib_stack(PyObject* function, PyObject** stack, size_t count);

template <typename... Args>
Ref struct_pack(PyObject* format, Args... values) {
    PyObject* stack[] = {nullptr, format, values...};
    return struct_pack_stack(stack, sizeof...(Args) + 1);
}

Ref struct_unpack(PyObject* format, PyObject* buffer);

template <typename... Args>
Ref zlib(PyObject* function, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return zlib_stack(function, stack, sizeof...(Args));
}

// Runs the host's handlers of the signals that arrived meanwhile, as the
// interpreter does between two lines of Python code; -1 with the exception
// a handler raised (KeyboardInterrupt for Ctrl-C).
int check_signals();

// Who made the stream a decoder reads. The caller's stream may watch every
// call made on it and sees each read the decoder makes. One the module made itself,
// of exactly the host's own file or in-memory stream type, is seen by nobody
// else: it may be read in other calls, with the same result and errors.
enum class StreamOrigin { caller, module };

// stream.read(size). From a file of the module's own (origin `module`, the
// host's file type), a size beyond what the file holds is read in pieces:
// the host's reader reserves the whole size before it reads, so a length
// that a file claims for itself would otherwise cost that much address
// space, and fail with MemoryError under a limit on it, where the same bytes
// in memory give a short read. The result is the same bytes either way.
Ref read(PyObject* stream, PyObject* size, StreamOrigin origin);

// The built-in `open` cached at initialisation.
Ref open_file(PyObject* path, PyObject* mode);

// Runs `body(entered)` inside the context manager `manager`, as a `with`
// statement does: __exit__ is looked up first, then __enter__ called; __exit__
// receives the exception, if any, and may suppress it (the result is then
// None). Returns body's result or null with the exception pending.
template <typename Body>
Ref with_context(PyObject* manager, Body&& body);

// Enters the context of `manager`, its __exit__ in `exit`; null when that
// failed.
Ref enter_context(PyObject* manager, Ref& exit);

// Leaves a context after `body` returned `result` (null when it raised).
Ref exit_context(PyObject* exit, Ref result);

template <typename Body>
Ref with_context(PyObject* manager, Body&& body) {
    Ref exit;
    Ref entered = enter_context(manager, exit);
    if (!entered) return {};
    return exit_context(exit.get(), body(entered.get()));
}

// `from module import names...`, absolute, with the module dictionary as
// globals; one result per name, in order.
int import_from(const char* module, PyObject* const* names, Py_ssize_t count, Ref* results);

}  // namespace tessarin::host
