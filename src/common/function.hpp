// Function objects: callables that carry the metadata of a Python function
// (name, qualified name, module, code, annotations) and bind like one when
// stored in a class. Each module readies a type of its own for them.
#pragma once

#include <Python.h>

#include "common/entry.hpp"
#include "common/module_home.hpp"

namespace tessarin {

// Adds the traceback entry of the function object `callable` to the pending
// exception.
void add_function_traceback(PyObject* callable);

// A vectorcall entry that calls `impl` directly, so the compiler can inline
// it: for the per-pixel methods the indirect call is a measurable share of
// a call.
template <FunctionImpl impl>
PyObject* direct_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* result = impl(args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!result) add_function_traceback(callable);
    return result;
}

// Readies `type`, named `type_name`, as the type of the function objects of
// the module `home`; once per process.
int function_type_ready(PyTypeObject& type, const char* type_name, const ModuleHome& home);

// A new function object of `type` for `entry` of the module `home`, whose
// globals are the module dictionary.
PyObject* make_function(PyTypeObject& type, const ModuleHome& home, const EntryPoint& entry);

// Whether `object` is the function object made for `entry`.
bool is_function_for(PyObject* object, const EntryPoint& entry);

}  // namespace tessarin
