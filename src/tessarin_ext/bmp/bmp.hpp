// The BMP codec's entry points as the rest of the module sees them.
#pragma once

#include <Python.h>

#include "common/entry.hpp"
#include "common/ref.hpp"

namespace tessarin::bmp {

extern const EntryPoint write_bmp_def;

// The bit count of every BMP the module reads and writes: 24, blue, green
// and red bytes.
inline constexpr int bits_per_pixel = 24;

// Who made the stream a decoder reads. The caller's stream may watch every
// call made on it and sees the specified reads. One the module made itself,
// of exactly the host's own file or in-memory stream type, is seen by nobody
// else: it may be read in fewer calls, with the same result and errors.
enum class StreamOrigin { caller, module };

// Decodes a BMP stream into (width, height, pixels).
Ref load_bmp(PyObject* stream, StreamOrigin origin);

}  // namespace tessarin::bmp
