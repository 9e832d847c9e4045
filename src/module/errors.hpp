// The module's own error reports.
#pragma once

#include <Python.h>

namespace tessarin {

// Raises ValueError with `message` as its only argument; returns -1 so that
// callers can `return raise_value_error(...)`.
inline int raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

}  // namespace tessarin
