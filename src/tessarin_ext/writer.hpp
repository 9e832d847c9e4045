// What the encoders _writePng and _writeBmp share: their entry (binding and
// the conversion of width and height) and the pixel buffer as they read it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/entry.hpp"
#include "common/ref.hpp"

namespace tessarin {

// Writes the image of `width` x `height` pixels held in `pixels` to the file
// `path`; null with the exception pending when it fails.
using Writer = Ref (*)(PyObject* path, int32_t width, int32_t height, PyObject* pixels);

// The record of an encoder: (path, width, height, pixels) -> None.
constexpr EntryPoint writer_def(const char* name, FunctionImpl impl) {
    return {
        .name = name,
        .site = {name},
        .count = 4,
        .params = {{"path"}, {"width"}, {"height"}, {"pixels"}},
        .return_annotation = "None",
        .impl = impl,
    };
}

// Binds a call to `entry`, converts width and height to 32 bits, then calls
// `write`; None, or null with the exception pending.
PyObject* call_writer(const EntryPoint& entry, Writer write, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// `pixels` itself when it is a bytearray, read in place; anything else
// through the host's bytearray(pixels).
Ref pixel_buffer(PyObject* pixels);

}  // namespace tessarin
