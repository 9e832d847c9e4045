// What differs between the hosts the modules run on, CPython and PyPy's
// emulation of its C API, in one place: each service here has a form for
// each host, and no other file asks which host it is built for.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace tessarin::host {

// Whether the host zeroes a bytearray as it makes it (PyPy does): one of the
// size a header claims then costs all that memory before any row arrives.
#ifdef PYPY_VERSION
inline constexpr bool zeroes_bytearrays = true;
#else
inline constexpr bool zeroes_bytearrays = false;
#endif

// A new bytearray of `size` bytes whose contents are not initialised; on
// CPython its pages are not touched until written (PyPy zeroes them). A size
// the host cannot allocate raises its MemoryError.
Ref uninitialised_bytearray(Py_ssize_t size);

// A bytearray that only the caller holds, resized to `size` bytes with its
// first bytes kept and the rest not initialised; it may be replaced by a new
// object. -1 with MemoryError when the host cannot allocate it.
int resize_private_bytearray(Ref& buffer, Py_ssize_t size);

// What check_signals runs the handlers with, made once by each module: on
// PyPy, whose PyErr_CheckSignals does nothing, a Python function whose code
// `source_name` names; elsewhere nothing (null). -1 with the exception when
// it cannot be made.
int make_signal_check(const char* source_name, PyObject** slot);

// Runs the host's handlers of the signals that arrived meanwhile, as the
// interpreter does between two lines of Python code, with what
// make_signal_check made; -1 with the exception a handler raised
// (KeyboardInterrupt for Ctrl-C).
int check_signals(PyObject* signal_check);

// type(value).__int__(value) as the host's integer conversion slot calls it,
// its result not checked: 1 with the result, 0 when the type has no
// __int__, -1 on error.
int call_int_slot(PyObject* value, Ref& result);

// Readies a static type whose instances have neither a dictionary nor weak
// references, as CPython makes every static type that does not ask for them.
int ready_static_type(PyTypeObject& type);

// Readies a static type of callables that the host calls through their
// vectorcall and that bind to instances as Python functions do (through its
// tp_descr_get); `source_name` names the Python code PyPy needs for it.
int ready_function_type(PyTypeObject& type, const char* source_name);

}  // namespace tessarin::host
