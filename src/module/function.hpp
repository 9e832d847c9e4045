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
};

// Readies the function type; once per process.
int function_type_ready();

// A new function object for `def`, whose globals are the module dictionary.
PyObject* make_function(FunctionDef& def);

// Whether `object` is the function object made for `def`.
bool is_function_for(PyObject* object, const FunctionDef& def);

}  // namespace tessarin
