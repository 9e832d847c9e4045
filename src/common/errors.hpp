// The module's own error reports, and setting a pending exception aside.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace tessarin {

// Raises ValueError with `message` as its only argument; returns -1 so that
// callers can `return raise_value_error(...)`.
inline int raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

// Owns an exception taken out of the pending state. `restore()` makes it
// pending again; an exception never restored is dropped with the object.
class SavedError {
public:
    // Takes the pending exception, if any, leaving none pending.
    static SavedError take_pending() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        return SavedError(type, value, traceback);
    }
    // The same, normalised, with its traceback attached to the value, as an
    // `except` clause or a context manager's __exit__ receives it.
    static SavedError take_pending_normalized() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback) PyException_SetTraceback(value, traceback);
        return SavedError(type, value, traceback);
    }
    SavedError() noexcept = default;

    // The parts, borrowed; None for a missing value or traceback.
    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_ ? value_.get() : Py_None; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_.get() : Py_None; }

    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    // Makes the exception pending again, replacing any pending one.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    SavedError(PyObject* type, PyObject* value, PyObject* traceback) noexcept
        : type_(Ref::steal(type)), value_(Ref::steal(value)), traceback_(Ref::steal(traceback)) {}
    Ref type_, value_, traceback_;
};

// Sets the pending exception aside for the scope and puts it back at the
// end, after whatever the scope did; the scope's own errors are dropped.
class ExceptionAside {
public:
    ExceptionAside() noexcept : saved_(SavedError::take_pending()) {}
    ~ExceptionAside() {
        PyErr_Clear();
        saved_.restore();
    }
    ExceptionAside(const ExceptionAside&) = delete;
    ExceptionAside& operator=(const ExceptionAside&) = delete;

private:
    SavedError saved_;
};

}  // namespace tessarin
