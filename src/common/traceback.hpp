// Traceback entries for exceptions leaving a module's functions.
#pragma once

#include <Python.h>

#include "common/module_home.hpp"

namespace tessarin {

// One place an exception can leave from. Its code object is made on first
// use and kept for the life of the process, hence mutable: a site is
// otherwise a constant of the entry point it belongs to.
struct TracebackSite {
    const char* qualname;  // "SimpleImage.open", "_loadPng", ...
    mutable PyObject* code = nullptr;
};

// Adds an entry named "<module name>.<qualname>" to the pending exception's
// traceback, with the module dictionary as its globals; none while the
// module has no dictionary. Returns nothing: the exception stays pending.
void add_traceback(const ModuleHome& home, const TracebackSite& site);

// Adds the entry of the module's initialisation; not cached.
void add_init_traceback(const ModuleHome& home);

}  // namespace tessarin
