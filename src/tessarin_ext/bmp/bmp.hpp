// The BMP codec's entry points as the rest of the module sees them.
#pragma once

#include <Python.h>

#include "common/entry.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/host.hpp"

namespace tessarin::bmp {

extern const EntryPoint write_bmp_def;

// The bit count of every BMP the module reads and writes: 24, blue, green
// and red bytes.
inline constexpr int bits_per_pixel = 24;

// Decodes a BMP stream into (width, height, pixels).
Ref load_bmp(PyObject* stream, host::StreamOrigin origin);

}  // namespace tessarin::bmp
