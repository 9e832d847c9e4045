// The record of one entry point: everything the binder, the function object
// and the traceback entry need, written once as a constant.
#pragma once

#include <Python.h>

#include "common/traceback.hpp"

namespace tessarin {

// Receives every argument, the implicit self or cls included.
using FunctionImpl = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The implicit first argument of a function object: none for module
// functions and static methods, and for slots and methods whose self the
// host passes apart; an instance of `self_type` for methods; the class for
// class methods.
enum class Receiver { none, instance, cls };

// A parameter: required, given by position or by keyword under `name`.
struct Parameter {
    const char* name;
    const char* annotation = nullptr;    // the text stored in __annotations__
    PyTypeObject* exact_type = nullptr;  // the only type accepted, when set
};

struct EntryPoint {
    static constexpr int max_params = 9;
    const char* name;     // __name__, and the name binding errors use
    TracebackSite site;   // its qualname is the function's __qualname__
    Receiver receiver = Receiver::none;
    PyTypeObject* self_type = nullptr;  // for Receiver::instance
    int count = 0;
    Parameter params[max_params] = {};
    const char* return_annotation = nullptr;
    // The body of the function object; null for an entry point that the
    // module reaches by other means (a type slot, a method table).
    FunctionImpl impl = nullptr;
    // direct_vectorcall<impl> for methods called once per pixel; when unset,
    // calls go through `impl`.
    vectorcallfunc vectorcall = nullptr;
    // The parameter names as interned strings, made on first keyword call.
    mutable PyObject* interned[max_params] = {};
};

}  // namespace tessarin
