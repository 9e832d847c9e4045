// The PNG decoder: 8-bit RGB or RGBA, not interlaced, to an RGB buffer.
#include <cstdint>
#include <span>

#include "module/args.hpp"
#include "module/host.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"
#include "png/chunk.hpp"
#include "png/filter.hpp"
#include "png/png.hpp"
#include "png/row_layout.hpp"

namespace tessarin::png {

namespace {

TracebackSite load_png_site{"_loadPng"};

int raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

struct Header {
    int32_t width = -1, height = -1, bit_depth = -1, color_type = -1, compression = -1, filter = -1,
            interlace = -1;
    bool complete() const {
        return width != -1 && height != -1 && bit_depth != -1 && color_type != -1 && compression != -1 &&
               filter != -1 && interlace != -1;
    }
};

int parse_header(PyObject* data, Header& header) {
    Ref values = host::struct_unpack(state.constants.fmt_ihdr, data);
    if (!values) return -1;
    Ref fields[7];
    if (unpack_exact(values.get(), 7, fields) < 0) return -1;
    int32_t* targets[7] = {&header.width,       &header.height, &header.bit_depth, &header.color_type,
                           &header.compression, &header.filter, &header.interlace};
    for (int i = 0; i < 7; ++i) {
        if (to_int32(fields[i].get(), targets[i]) < 0) return -1;
    }
    return 0;
}

// One chunk through the module global _readChunk; the module's own function
// is called without the detour through argument binding.
Ref next_chunk(PyObject* stream) {
    Ref reader = host::global(state.names.readChunk);
    if (!reader) return {};
    if (is_function_for(reader.get(), read_chunk_def)) {
        Ref chunk = read_chunk(stream);
        if (!chunk) add_traceback(read_chunk_def.site);
        return chunk;
    }
    return host::call(reader.get(), stream);
}

// The chunk loop: header fields and the IDAT payloads in stream order.
int read_chunks(PyObject* stream, Header& header, Ref& idat_chunks) {
    idat_chunks = Ref::steal(PyList_New(0));
    if (!idat_chunks) return -1;
    for (;;) {
        Ref chunk = next_chunk(stream);
        if (!chunk) return -1;
        Ref parts[2];
        if (unpack_exact(chunk.get(), 2, parts) < 0) return -1;
        PyObject* chunk_type = parts[0].get();
        const int present = PyObject_IsTrue(chunk_type);
        if (present <= 0) return present;
        const int is_header = PyObject_RichCompareBool(chunk_type, state.constants.tag_ihdr, Py_EQ);
        if (is_header < 0) return -1;
        if (is_header) {
            if (parse_header(parts[1].get(), header) < 0) return -1;
            continue;
        }
        const int is_data = PyObject_RichCompareBool(chunk_type, state.constants.tag_idat, Py_EQ);
        if (is_data < 0) return -1;
        if (is_data) {
            if (PyList_Append(idat_chunks.get(), parts[1].get()) < 0) return -1;
            continue;
        }
        const int is_end = PyObject_RichCompareBool(chunk_type, state.constants.tag_iend, Py_EQ);
        if (is_end != 0) return is_end < 0 ? -1 : 0;
    }
}

int check_header(const Header& header) {
    if (!header.complete()) return raise_value_error("Incomplete PNG header information");
    if (header.bit_depth != 8) return raise_value_error("Only 8-bit PNG images are supported");
    if (header.color_type != 2 && header.color_type != 6) {
        return raise_value_error("Only RGB/RGBA PNG images are supported");
    }
    if (header.compression != 0 || header.filter != 0 || header.interlace != 0) {
        return raise_value_error("Unsupported PNG configuration (compression/filter/interlace)");
    }
    return 0;
}

// Undoes one row's filter; an unsupported filter type is raised as a
// pending exception, taking the interpreter lock for it.
void apply_png_filter(int filter_type, std::span<const uint8_t> scanline, std::span<const uint8_t> prev_row,
                      int bytes_per_pixel, std::span<uint8_t> out_row) {
    if (unfilter_row(filter_type, scanline, prev_row, bytes_per_pixel, out_row) == FilterStatus::ok) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", filter_type);
    PyGILState_Release(gil);
}

// Reconstructs every row of `raw` into the RGB buffer `pixels`. RGB rows are
// reconstructed straight into their place in the result, which then also
// serves as the previous row; RGBA rows go through two row buffers.
int reconstruct(std::span<const uint8_t> raw, const Header& header, std::span<uint8_t> pixels) {
    const int bytes_per_pixel = header.color_type == 2 ? 3 : 4;
    const size_t width = static_cast<size_t>(header.width);
    const size_t stride = width * static_cast<size_t>(bytes_per_pixel);
    const size_t out_stride = width * 3;
    const size_t rows = static_cast<size_t>(header.height);
    Ref row_buffers;
    std::span<uint8_t> current, previous;
    if (bytes_per_pixel == 4 && rows > 0 && stride > 0) {
        row_buffers = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * stride)));
        if (!row_buffers) return -1;
        auto* base = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(row_buffers.get()));
        current = {base, stride};
        previous = {base + stride, stride};
    }
    std::span<const uint8_t> prev_row;  // empty before the first row: all zero
    for (size_t y = 0; y < rows; ++y) {
        const uint8_t* row = raw.data() + y * (stride + 1);
        const std::span<const uint8_t> scanline{row + 1, stride};
        const std::span<uint8_t> out_pixels = pixels.subspan(y * out_stride, out_stride);
        if (bytes_per_pixel == 3) {
            apply_png_filter(row[0], scanline, prev_row, 3, out_pixels);
            if (PyErr_Occurred()) return -1;
            prev_row = out_pixels;
        } else {
            apply_png_filter(row[0], scanline, prev_row, 4, current);
            if (PyErr_Occurred()) return -1;
            rgba_to_rgb_row(current, out_pixels, width);
            prev_row = current;
            std::swap(current, previous);
        }
    }
    return 0;
}

// The bytes of one whole zlib stream, as zlib.decompress(data) returns them.
// With the host's own zlib, output beyond `expected + 1` bytes is inflated
// only to check the stream and then discarded: the result then is refused
// by its length anyway, and a small hostile file cannot make the decoder
// hold gigabytes before that.
Ref decompress(PyObject* data, uint64_t expected) {
    Ref zlib_module = host::global(state.names.zlib);
    if (!zlib_module) return {};
    Ref decompress_function = Ref::steal(PyObject_GetAttr(zlib_module.get(), state.names.decompress));
    if (!decompress_function) return {};
    if (zlib_module.get() != state.host_zlib || decompress_function.get() != state.host_zlib_decompress) {
        return host::call(decompress_function.get(), data);
    }
    Ref inflater = host::call(state.host_zlib_decompressobj);
    if (!inflater) return {};
    const uint64_t bound = expected < static_cast<uint64_t>(PY_SSIZE_T_MAX) ? expected + 1 : PY_SSIZE_T_MAX;
    Ref max_length = Ref::steal(PyLong_FromUnsignedLongLong(bound));
    if (!max_length) return {};
    Ref output = host::call_method(inflater.get(), state.names.decompress, data, max_length.get());
    if (!output) return {};
    const uint64_t produced = static_cast<uint64_t>(PyBytes_GET_SIZE(output.get()));
    Ref tail = Ref::steal(PyObject_GetAttr(inflater.get(), state.names.unconsumed_tail));
    if (!tail) return {};
    if (produced == bound) {
        // Too long already; learn whether the rest of the stream is valid.
        Ref chunk_size = Ref::steal(PyLong_FromLong(1 << 20));
        if (!chunk_size) return {};
        for (;;) {
            Ref discarded = host::call_method(inflater.get(), state.names.decompress, tail.get(), chunk_size.get());
            if (!discarded) return {};
            tail = Ref::steal(PyObject_GetAttr(inflater.get(), state.names.unconsumed_tail));
            if (!tail) return {};
            if (PyBytes_GET_SIZE(discarded.get()) == 0 && PyBytes_GET_SIZE(tail.get()) == 0) break;
        }
    }
    Ref at_end = Ref::steal(PyObject_GetAttr(inflater.get(), state.names.eof));
    if (!at_end) return {};
    if (at_end.get() != Py_True) {
        // A stream that stops early: the host's own error for it.
        return host::call(decompress_function.get(), state.constants.empty_bytes);
    }
    return output;
}

Ref load(PyObject* stream) {
    Ref signature = host::call_method(stream, state.names.read, state.constants.eight);
    if (!signature) return {};
    Ref expected_signature = host::global(state.names.PNG_SIGNATURE);
    if (!expected_signature) return {};
    const int differs = PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_NE);
    if (differs < 0) return {};
    if (differs) return raise_value_error("Unsupported PNG signature"), Ref{};

    Header header;
    Ref idat_chunks;
    if (read_chunks(stream, header, idat_chunks) < 0 || check_header(header) < 0) return {};

    const uint64_t width = static_cast<uint64_t>(header.width);
    const uint64_t height = static_cast<uint64_t>(header.height);
    const uint64_t stride = width * (header.color_type == 2 ? 3 : 4);
    // At most (2^33 + 1) * 2^31: fits in 64 bits.
    const uint64_t expected = (stride + 1) * height;
    Ref raw;
    {
        Ref joined = host::call_method(state.constants.empty_bytes, state.names.join, idat_chunks.get());
        if (!joined) return {};
        idat_chunks.reset();
        raw = decompress(joined.get(), expected);
        if (!raw) return {};
    }
    Py_buffer view;
    if (PyObject_GetBuffer(raw.get(), &view, PyBUF_SIMPLE) < 0) return {};
    const std::span<const uint8_t> raw_bytes{static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)};
    Ref pixels;
    if (raw_bytes.size() != expected) {
        raise_value_error("Malformed PNG image data");
    } else {
        // Every byte is written by the rows before the buffer is handed out.
        pixels = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(width * height * 3)));
        if (pixels) {
            auto* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
            if (reconstruct(raw_bytes, header, {out, static_cast<size_t>(width * height * 3)}) < 0) pixels.reset();
        }
    }
    PyBuffer_Release(&view);
    if (!pixels) return {};
    return Ref::steal(Py_BuildValue("(iiO)", header.width, header.height, pixels.get()));
}

}  // namespace

Ref load_png(PyObject* stream) {
    Ref result = load(stream);
    if (!result) add_traceback(load_png_site);
    return result;
}

}  // namespace tessarin::png
