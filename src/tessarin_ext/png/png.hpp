// The PNG codec's entry points as the rest of the module sees them.
#pragma once

#include <Python.h>

#include "common/entry.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/host.hpp"

namespace tessarin::png {

extern const EntryPoint read_chunk_def;
extern const EntryPoint make_chunk_def;
extern const EntryPoint write_png_def;

// Decodes a PNG stream into (width, height, pixels).
Ref load_png(PyObject* stream, host::StreamOrigin origin);

}  // namespace tessarin::png
