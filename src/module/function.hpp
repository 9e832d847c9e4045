// The module's function objects: callables that carry the metadata of a
// Python function (name, qualified name, module, code, annotations) and bind
// like one when stored in a class.
#pragma once

#include <Python.h>

#include "module/traceback.hpp"

namespace tessarin {

// Receives every argument, the implicit self or cls included.
using FunctionImpl = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct Annotation {
    const char* key;
    const char* text;
};

struct FunctionDef {
    const char* name;
    int argcount;
    const char* varnames[5];       // parameter names in order, self or cls first for methods
    int annotation_count;
    Annotation annotations[5];     // in order; "return" last
    FunctionImpl impl;
    TracebackSite site;            // its qualname is the function's __qualname__
    // direct_vectorcall<impl> for methods called once per pixel; when unset,
    // calls go through `impl`.
    vectorcallfunc vectorcall = nullptr;
};

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

// Readies the function type; once per process.
int function_type_ready();

// A new function object for `def`, whose globals are the module dictionary.
PyObject* make_function(FunctionDef& def);

// Whether `object` is the function object made for `def`.
bool is_function_for(PyObject* object, const FunctionDef& def);

}  // namespace tessarin
