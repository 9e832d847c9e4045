// Quorvel._reader: the module behind Quorvel.load and Quorvel.probe. Two
// functions over a whole file held in a buffer (bytes, bytearray, a
// memoryview, an mmap), and the exception class they raise.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>

#include "common/buffer.hpp"
#include "common/host_compat.hpp"
#include "common/ref.hpp"
#include "reader/reader.hpp"

namespace tessarin::reader {
namespace {

ReaderState* state_of(PyObject* module) { return static_cast<ReaderState*>(PyModule_GetState(module)); }

enum class Format { png, bmp };

// The file's format by its first bytes; -1 with ImageReadError for any
// other file.
int format_of(const ReaderState& state, std::span<const uint8_t> file, Format& format) {
    if (has_png_signature(file)) {
        format = Format::png;
        return 0;
    }
    if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') {
        format = Format::bmp;
        return 0;
    }
    if (file.empty()) return raise_read_error(state, message("the file is empty"));
    size_t matching = 0;
    for (size_t i = 0; i < std::min(file.size(), sizeof png_signature); ++i) matching += file[i] == png_signature[i];
    if (matching >= 5) {
        // A signature damaged on the way: line endings changed, a bit flipped.
        char bytes[8 * 3 + 1] = {};
        const size_t shown = std::min<size_t>(file.size(), 8);
        for (size_t i = 0; i < shown; ++i) std::snprintf(&bytes[3 * i], 4, "%02x ", file[i]);
        bytes[3 * shown - 1] = '\0';
        return raise_read_error(state, message("PNG signature is damaged: %s", bytes));
    }
    return raise_read_error(state, message("not a PNG or BMP file"));
}

PyObject* optional_int(int64_t value) { return value < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(value); }

PyObject* optional_text(const char* text) { return text ? PyUnicode_FromString(text) : Py_NewRef(Py_None); }

// The fields of Quorvel.ImageInfo, in its order.
Ref info_tuple(const ImageFacts& facts) {
    PyObject* const fields[] = {
        PyUnicode_FromString(facts.format),
        PyLong_FromLongLong(facts.width),
        PyLong_FromLongLong(facts.height),
        PyBool_FromLong(facts.has_alpha),
        PyBool_FromLong(facts.open_refusal == nullptr),
        optional_text(facts.open_refusal),
        PyBool_FromLong(!facts.reason),
        facts.reason ? facts.reason.new_reference() : Py_NewRef(Py_None),
        optional_int(facts.colour_type),
        optional_int(facts.bit_depth),
        facts.interlaced < 0 ? Py_NewRef(Py_None) : PyBool_FromLong(facts.interlaced != 0),
        optional_int(facts.palette_size),
        optional_int(facts.header_size),
        optional_int(facts.bit_count),
        optional_int(facts.compression),
        facts.top_down < 0 ? Py_NewRef(Py_None) : PyBool_FromLong(facts.top_down != 0),
    };
    constexpr auto count = static_cast<Py_ssize_t>(sizeof fields / sizeof fields[0]);
    Ref tuple = Ref::steal(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (tuple && fields[i]) {
            PyTuple_SET_ITEM(tuple.get(), i, fields[i]);
        } else {
            Py_XDECREF(fields[i]);
            tuple.reset();
        }
    }
    return tuple;
}

// probe(data) -> the fields of ImageInfo
PyObject* probe(PyObject* module, PyObject* data) {
    const ReaderState& state = *state_of(module);
    BufferView view;
    if (view.acquire(data) < 0) return nullptr;
    const std::span<const uint8_t> file = view.bytes();
    Format format;
    if (format_of(state, file, format) < 0) return nullptr;
    ImageFacts facts;
    const int probed = format == Format::png ? probe_png(state, file, facts) : probe_bmp(state, file, facts);
    return probed < 0 ? nullptr : info_tuple(facts).release();
}

// The pixel limit: None for none, else an int of at least 0.
int pixel_limit(PyObject* value, uint64_t& limit) {
    if (value == Py_None) {
        limit = no_pixel_limit;
        return 0;
    }
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "max_pixels must be an int or None, not %.200s", Py_TYPE(value)->tp_name);
        return -1;
    }
    int overflow = 0;
    const long long given = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (given == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && given < 0)) {
        PyErr_Format(PyExc_ValueError, "max_pixels must be at least 0, not %S", value);
        return -1;
    }
    limit = overflow > 0 ? no_pixel_limit : static_cast<uint64_t>(given);
    return 0;
}

// The decompressobj and error class of an inflater module given to decode
// (zlib_ng.zlib_ng, say), used in place of the host's zlib.
int inflater_of(PyObject* inflater, Ref& decompressobj, Ref& error) {
    decompressobj = Ref::steal(PyObject_GetAttrString(inflater, "decompressobj"));
    if (!decompressobj) return -1;
    error = Ref::steal(PyObject_GetAttrString(inflater, "error"));
    if (!error) return -1;
    if (!PyExceptionClass_Check(error.get())) {
        PyErr_Format(PyExc_TypeError, "the inflater's error must be an exception class, not %.200s",
                     Py_TYPE(error.get())->tp_name);
        return -1;
    }
    return 0;
}

// decode(data, max_pixels=None, inflater=None) -> (width, height, pixels bytearray)
PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "decode() takes 1 to 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    uint64_t max_pixels = no_pixel_limit;
    if (nargs >= 2 && pixel_limit(args[1], max_pixels) < 0) return nullptr;
    // This call's state: the module's, with another inflater where one is
    // given; the references below keep its objects alive until the end.
    ReaderState state = *state_of(module);
    Ref decompressobj, inflate_error;
    if (nargs == 3 && args[2] != Py_None) {
        if (inflater_of(args[2], decompressobj, inflate_error) < 0) return nullptr;
        state.decompressobj = decompressobj.get();
        state.zlib_error = inflate_error.get();
    }
    BufferView view;
    if (view.acquire(args[0]) < 0) return nullptr;
    const std::span<const uint8_t> file = view.bytes();
    Format format;
    if (format_of(state, file, format) < 0) return nullptr;
    Ref decoded = format == Format::png ? decode_png(state, file, max_pixels) : decode_bmp(state, file, max_pixels);
    return decoded.release();
}

int module_exec(PyObject* module) {
    ReaderState* state = state_of(module);
    state->error = PyErr_NewExceptionWithDoc(
        "Quorvel.ImageReadError",
        "A file that Quorvel.load or Quorvel.probe cannot read: not a PNG or BMP file, damaged, or of a kind "
        "they do not read.",
        PyExc_ValueError, nullptr);
    if (!state->error) return -1;
    // PyModule_AddObject takes the reference only when it succeeds.
    Ref added = Ref::borrow(state->error);
    if (PyModule_AddObject(module, "ImageReadError", added.get()) < 0) return -1;
    added.release();
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib) return -1;
    state->crc32 = PyObject_GetAttrString(zlib.get(), "crc32");
    state->decompressobj = PyObject_GetAttrString(zlib.get(), "decompressobj");
    state->zlib_error = PyObject_GetAttrString(zlib.get(), "error");
    state->decompress_name = PyUnicode_InternFromString("decompress");
    state->eof_name = PyUnicode_InternFromString("eof");
    state->tail_name = PyUnicode_InternFromString("unconsumed_tail");
    if (host::make_signal_check("<Quorvel._reader>", &state->signal_check) < 0) return -1;
    if (!state->crc32 || !state->decompressobj || !state->zlib_error || !state->decompress_name ||
        !state->eof_name || !state->tail_name) {
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ReaderState* state = state_of(module);
    if (state) {
        Py_VISIT(state->error);
        Py_VISIT(state->crc32);
        Py_VISIT(state->decompressobj);
        Py_VISIT(state->zlib_error);
        Py_VISIT(state->signal_check);
    }
    return 0;
}

int module_clear(PyObject* module) {
    ReaderState* state = state_of(module);
    if (state) {
        Py_CLEAR(state->error);
        Py_CLEAR(state->crc32);
        Py_CLEAR(state->decompressobj);
        Py_CLEAR(state->zlib_error);
        Py_CLEAR(state->decompress_name);
        Py_CLEAR(state->eof_name);
        Py_CLEAR(state->tail_name);
        Py_CLEAR(state->signal_check);
    }
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyMethodDef module_methods[] = {
    {"probe", probe, METH_O,
     "probe(data) -> the fields of Quorvel.ImageInfo, read from the headers of the PNG or BMP file in data."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_FASTCALL,
     "decode(data, max_pixels=None, inflater=None) -> (width, height, pixels): the PNG or BMP file in data as "
     "RGB pixels; max_pixels is None or the most pixels accepted; inflater is None (the host's zlib) or a "
     "module with zlib's decompressobj() and error."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_reader",
    "PNG and BMP files read into RGB pixels, or described from their headers: the module behind Quorvel.load "
    "and Quorvel.probe.",
    sizeof(ReaderState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace tessarin::reader

PyMODINIT_FUNC PyInit__reader() { return PyModuleDef_Init(&tessarin::reader::module_def); }
