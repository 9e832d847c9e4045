// Objects a module makes once per process and keeps for its life, each into
// its slot: 0, or -1 with the exception when the host cannot make it.
#pragma once

#include <Python.h>

#include <span>

namespace tessarin {

inline int intern(PyObject** slot, const char* text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

inline int make_bytes(PyObject** slot, const char* data, Py_ssize_t size) {
    *slot = PyBytes_FromStringAndSize(data, size);
    return *slot ? 0 : -1;
}

inline int make_int(PyObject** slot, unsigned long value) {
    *slot = PyLong_FromUnsignedLong(value);
    return *slot ? 0 : -1;
}

// A string to intern, and where it goes.
struct InternedText {
    PyObject** slot;
    const char* text;
};

// Interns each string in order; stops at the first that fails.
inline int intern_all(std::span<const InternedText> table) {
    for (const InternedText& entry : table) {
        if (intern(entry.slot, entry.text) < 0) return -1;
    }
    return 0;
}

}  // namespace tessarin
