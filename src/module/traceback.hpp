// Traceback entries for exceptions leaving the module's functions.
#pragma once

#include <Python.h>

namespace tessarin {

// One place an exception can leave from; its code object is made on first
// use and kept for the life of the process.
struct TracebackSite {
    const char* qualname;  // "SimpleImage.open", "_loadPng", ...
    PyObject* code = nullptr;
};

// Adds an entry named "Quorvel.tessarin_ext.<qualname>" to the pending
// exception's traceback. Returns nothing: the exception stays pending.
void add_traceback(TracebackSite& site);

// Adds an entry for `qualname` in module initialisation; not cached.
void add_traceback(const char* full_name);

}  // namespace tessarin
