// Calls into the host interpreter, each argument borrowed, each result an
// owned reference (null with the exception pending).
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace tessarin::host {

// callable(args...).
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                          sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// object.name(args...).
template <typename... Args>
Ref call_method(PyObject* object, PyObject* name, Args... args) {
    PyObject* stack[] = {object, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The host's bytearray(argument): a copy of a buffer or iterable, or a
// zeroed bytearray of a given size.
inline Ref bytearray(PyObject* argument) {
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), argument));
}

}  // namespace tessarin::host
