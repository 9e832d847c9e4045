// The BMP codec's entry points as the rest of the module sees them.
#pragma once

#include <Python.h>

#include "module/entry.hpp"
#include "module/host.hpp"
#include "module/ref.hpp"

namespace tessarin::bmp {

extern const EntryPoint write_bmp_def;

// Decodes a BMP stream into (width, height, pixels).
Ref load_bmp(PyObject* stream, host::StreamOrigin origin);

}  // namespace tessarin::bmp
