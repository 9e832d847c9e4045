// The PNG chunk layer, for the decoder and encoder: the bodies of _readChunk
// and _makeChunk without argument binding.
#pragma once

#include <Python.h>

#include "common/ref.hpp"
#include "tessarin_ext/host.hpp"

namespace tessarin::png {

// (chunkType, data) of the next chunk, or the end-of-stream pair; a stream
// the module made is read as host::read reads it.
Ref read_chunk(PyObject* stream, host::StreamOrigin origin);

// The complete chunk: length, type, data and CRC.
Ref make_chunk(PyObject* chunk_type, PyObject* data);

}  // namespace tessarin::png
