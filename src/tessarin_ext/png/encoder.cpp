// _writePng: an image as an unfiltered 8-bit RGB PNG (signature, IHDR, one
// IDAT, IEND), prepared in full before the file is opened.
#include <algorithm>
#include <cstdint>
#include <span>

#include "common/checked.hpp"
#include "kernels/png_row_layout.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/png/chunk.hpp"
#include "tessarin_ext/png/literals.hpp"
#include "tessarin_ext/png/png.hpp"
#include "tessarin_ext/state.hpp"
#include "tessarin_ext/writer.hpp"

namespace tessarin::png {

namespace {

// A chunk through the module global _makeChunk.
Ref chunk_through_global(PyObject* chunk_type, PyObject* data) {
    Ref maker = host::global(state.names.makeChunk);
    if (!maker) return {};
    if (is_function_for(maker.get(), make_chunk_def)) {
        if (!PyBytes_CheckExact(chunk_type) || !PyBytes_CheckExact(data)) {
            return host::call(maker.get(), chunk_type, data);
        }
        Ref chunk = make_chunk(chunk_type, data);
        if (!chunk) add_traceback(make_chunk_def.site);
        return chunk;
    }
    return host::call(maker.get(), chunk_type, data);
}

// The filter-0 scanlines of the image: each row a zero byte and the row's
// pixel bytes. A negative width gives rows of the filter byte alone, as
// slicing the buffer with a negative row length would.
Ref write_png_bytes(int32_t width, int32_t height, std::span<const uint8_t> pixels) {
    const size_t rows = height > 0 ? static_cast<size_t>(height) : 0;
    const size_t row_bytes = width > 0 ? static_cast<size_t>(width) * 3 : 0;
    size_t raw_size;
    if (!checked_mul(row_bytes + 1, rows, raw_size) || raw_size > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(raw_size)));
    if (!raw) return {};
    layout_filter_none(pixels, row_bytes, rows,
                       {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(raw.get())), raw_size});
    return raw;
}

// Scanline data larger than this is compressed in pieces of this size, so
// that an interrupt waits no longer than the host's deflate takes over one
// piece (bench/README.md).
constexpr Py_ssize_t compress_piece_size = Py_ssize_t{256} * 1024;

// The scanlines compressed as one zlib stream at the host's default level.
// With the module global `zlib` still the host's own module and its own
// compress, a large stream goes through the host's compressobj piece by
// piece, checking for signals between pieces; deflate's output does not
// depend on how its input is divided, so the bytes are those of one
// zlib.compress call. Otherwise zlib.compress is called once, as documented.
Ref compress_scanlines(PyObject* raw) {
    Ref zlib_module = host::global(state.names.zlib);
    if (!zlib_module) return {};
    Ref compress = Ref::steal(PyObject_GetAttr(zlib_module.get(), state.names.compress));
    if (!compress) return {};
    const Py_ssize_t raw_size = PyBytes_GET_SIZE(raw);
    const bool host_zlib = zlib_module.get() == state.host_zlib && compress.get() == state.host_zlib_compress;
    if (!host_zlib || raw_size <= compress_piece_size) return host::call(compress.get(), raw);

    Ref compressor = host::call(state.host_zlib_compressobj);
    if (!compressor) return {};
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return {};
    for (Py_ssize_t offset = 0; offset < raw_size; offset += compress_piece_size) {
        const Py_ssize_t piece_size = std::min(compress_piece_size, raw_size - offset);
        Ref input = Ref::steal(
            PyMemoryView_FromMemory(PyBytes_AS_STRING(raw) + offset, piece_size, PyBUF_READ));
        if (!input) return {};
        Ref output = host::call_method(compressor.get(), state.names.compress, input.get());
        if (!output || PyList_Append(pieces.get(), output.get()) < 0 || host::check_signals() < 0) return {};
    }
    Ref last = host::call_method(compressor.get(), state.names.flush);
    if (!last || PyList_Append(pieces.get(), last.get()) < 0) return {};
    return host::call_method(state.constants.empty_bytes, state.names.join, pieces.get());
}

// True when `length` bytes cannot hold width x height pixels.
bool too_short(Py_ssize_t length, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return false;
    return static_cast<uint64_t>(length) < static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
}

Ref write_png(PyObject* path, int32_t width, int32_t height, PyObject* pixels) {
    Ref width_value = Ref::steal(PyLong_FromLong(width));
    Ref height_value = Ref::steal(PyLong_FromLong(height));
    if (!width_value || !height_value) return {};
    // Compression, filter and interlace methods: deflate, adaptive, none.
    PyObject* const zero = state.constants.zero;
    Ref ihdr = host::struct_pack(literals.fmt_ihdr, width_value.get(), height_value.get(), literals.bit_depth,
                                 literals.color_type_rgb, zero, zero, zero);
    if (!ihdr) return {};
    Ref buffer = pixel_buffer(pixels);
    if (!buffer) return {};
    if (too_short(PyByteArray_GET_SIZE(buffer.get()), width, height)) {
        PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
        return {};
    }
    Ref raw = write_png_bytes(width, height,
                              {reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(buffer.get())),
                               static_cast<size_t>(PyByteArray_GET_SIZE(buffer.get()))});
    buffer.reset();
    if (!raw) return {};
    Ref compressed = compress_scanlines(raw.get());
    raw.reset();
    if (!compressed) return {};

    Ref signature = host::global(state.names.PNG_SIGNATURE);
    if (!signature) return {};
    Ref header_chunk = chunk_through_global(literals.tag_ihdr, ihdr.get());
    if (!header_chunk) return {};
    Ref data_chunk = chunk_through_global(literals.tag_idat, compressed.get());
    if (!data_chunk) return {};
    compressed.reset();
    Ref end_chunk = chunk_through_global(literals.tag_iend, state.constants.empty_bytes);
    if (!end_chunk) return {};

    PyObject* const pieces[4] = {signature.get(), header_chunk.get(), data_chunk.get(), end_chunk.get()};
    // The host's writer gets them joined, in one write (writes_whole_files).
    Ref whole;
    if (writes_whole_files()) {
        whole = joined_pieces(pieces, 0);
        if (!whole) return {};
    }
    // An interrupt that arrived while compressing is raised before the file
    // is opened, so it never leaves an existing file truncated.
    if (host::check_signals() < 0) return {};
    Ref file = host::open_file(path, state.constants.mode_write);
    if (!file) return {};
    return host::with_context(file.get(), [&pieces, &whole](PyObject* output) -> Ref {
        if (whole) return host::call_method(output, state.names.write, whole.get()) ? Ref::borrow(Py_None) : Ref{};
        for (PyObject* piece : pieces) {
            if (!host::call_method(output, state.names.write, piece)) return {};
        }
        return Ref::borrow(Py_None);
    });
}

// A plain function naming the record, not a template instantiated from the
// record's own initialiser: some compilers never emit such an instantiation.
PyObject* write_png_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_writer(write_png_def, write_png, args, nargs, kwnames);
}

}  // namespace

constexpr EntryPoint write_png_def = writer_def("_writePng", write_png_impl);

}  // namespace tessarin::png
