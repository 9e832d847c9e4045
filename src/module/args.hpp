// Argument conventions shared by every entry point: binding by position or
// keyword, exact built-in type checks, 32-bit dimension conversion and
// unpacking into a fixed number of values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/ref.hpp"

namespace tessarin {

// A parameter list. Every parameter is required and may be given by position
// or by keyword. `name` is the bare name used in messages.
struct Signature {
    static constexpr int max_params = 4;
    const char* name;
    int count;
    const char* params[max_params];
    PyObject* interned[max_params] = {};  // filled on first use
};

// Fills `bound[0..count)` with borrowed references to the arguments, or
// raises TypeError and returns -1.
int bind(Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** bound);

// The same for a call given as an argument tuple and keyword dictionary. The
// results borrow from `kwargs`: a caller that runs Python code before it is
// done with them takes its own references first.
int bind_tuple(Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

// Accepts exactly `expected` (no subclass, no None) for the parameter `param`.
int check_exact_type(PyObject* value, PyTypeObject* expected, const char* param);

// Converts a width or height: an int unchanged, anything else through its
// __int__; then the signed 32-bit range.
int to_int32(PyObject* value, int32_t* out);

// Unpacks `iterable` into exactly `count` new references.
int unpack_exact(PyObject* iterable, Py_ssize_t count, Ref* out);

}  // namespace tessarin
