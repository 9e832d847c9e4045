// What the shared helpers need to know of the module they work for.
#pragma once

#include <Python.h>

namespace tessarin {

struct ModuleHome {
    const char* name;           // qualified: "Quorvel.tessarin_ext"
    const char* source_file;    // the file its code objects and traceback entries name
    const char* python_source;  // the file name of the Python code it compiles for the host
    PyObject* dict = nullptr;   // the module dictionary, borrowed, while the module is initialised
};

}  // namespace tessarin
