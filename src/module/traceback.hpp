// Traceback entries for exceptions leaving the module's functions.
#pragma once

#include <Python.h>

namespace tessarin {

// The file name that tracebacks and code objects show; the module has no
// Python source.
inline constexpr char traceback_file[] = "tessarin_ext.cpp";

// One place an exception can leave from. Its code object is made on first
// use and kept for the life of the process, hence mutable: a site is
// otherwise a constant of the entry point it belongs to.
struct TracebackSite {
    const char* qualname;  // "SimpleImage.open", "_loadPng", ...
    mutable PyObject* code = nullptr;
};

// Adds an entry named "<module_name>.<qualname>" to the pending exception's
// traceback. Returns nothing: the exception stays pending.
void add_traceback(const TracebackSite& site);

// Adds the entry of the module's initialisation; not cached.
void add_init_traceback();

}  // namespace tessarin
