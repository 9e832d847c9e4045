// The module's function objects and traceback entries: those of
// common/function.hpp and common/traceback.hpp, for this module.
#pragma once

#include <Python.h>

#include "common/entry.hpp"
#include "common/function.hpp"
#include "common/traceback.hpp"

namespace tessarin {

// Readies the module's function type; once per process.
int function_type_ready();

// A new function object for `entry`, whose globals are the module
// dictionary.
PyObject* make_function(const EntryPoint& entry);

// Adds an entry named "<module_name>.<qualname>" to the pending exception's
// traceback. Returns nothing: the exception stays pending.
void add_traceback(const TracebackSite& site);

// Adds the entry of the module's initialisation; not cached.
void add_init_traceback();

}  // namespace tessarin
