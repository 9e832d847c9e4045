// What the encoders _writePng and _writeBmp share: their entry (binding and
// the conversion of width and height), the pixel buffer as they read it and
// the writing of a whole file at once.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

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

// Whether the files the encoders open are the host's own buffered writers:
// the built-in open they call is the host's io.open. Such a writer runs the
// signal handlers after each system write it makes, so a file handed to it
// in several writes can be left cut short by an interrupt (Ctrl-C) between
// two of them. Handed the whole file in one write, it makes one system write
// (on Linux, of up to 2 GiB less 4 KiB) before any handler runs, and the
// file is whole when the interrupt is raised. Nobody else sees the calls
// made on such a file: _writeBmp hands its blocks to the unbuffered file
// beneath it instead, which runs no handler between its writes.
bool writes_whole_files();

// The objects `pieces` (at most most_joined_pieces), each read as the host's
// writer reads what it is given (through its buffer; the host's TypeError
// for an object without one), joined into a new bytearray, followed by
// `room` bytes not initialised; null with the exception pending.
constexpr size_t most_joined_pieces = 4;
Ref joined_pieces(std::span<PyObject* const> pieces, Py_ssize_t room);

}  // namespace tessarin
