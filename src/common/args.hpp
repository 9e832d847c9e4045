// Argument conventions shared by every entry point: binding by position or
// keyword, exact built-in type checks, 32-bit dimension conversion and
// unpacking into a fixed number of values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/entry.hpp"
#include "common/ref.hpp"

namespace tessarin {

// Binds a call to `entry`: checks the receiver, which stays args[0], then
// fills `bound[0..entry.count)` with borrowed references to the arguments
// and checks the exact types, in parameter order. Raises TypeError and
// returns -1 on the first failure.
int bind(const EntryPoint& entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// The same for a call given as an argument tuple and keyword dictionary
// (no receiver). The results borrow from `kwargs`: a caller that runs Python
// code before it is done with them takes its own references first.
int bind_tuple(const EntryPoint& entry, PyObject* args, PyObject* kwargs, PyObject** bound);

// Converts a width or height: an int unchanged, anything else through its
// __int__; then the signed 32-bit range.
int to_int32(PyObject* value, int32_t* out);

// Unpacks `iterable` into exactly `count` new references.
int unpack_exact(PyObject* iterable, Py_ssize_t count, Ref* out);

}  // namespace tessarin
