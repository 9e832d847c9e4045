// _writeBmp: an image as an uncompressed bottom-up 24-bit BMP. Everything
// that can fail is checked, and the memory for the writes taken, before the
// file is opened, so a failed call leaves an existing file as it was.
#include <algorithm>
#include <cstdint>
#include <span>

#include "common/buffer.hpp"
#include "kernels/bmp_pixel_rows.hpp"
#include "kernels/bmp_row_stride.hpp"
#include "tessarin_ext/bmp/bmp.hpp"
#include "tessarin_ext/bmp/literals.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/state.hpp"
#include "tessarin_ext/writer.hpp"

namespace tessarin::bmp {

namespace {

// Rows are converted and written in blocks of about this many bytes.
constexpr size_t block_bytes = size_t{1} << 18;

struct Headers {
    Ref file;  // bytes 2..13 of the file header
    Ref info;  // the 40-byte information header
};

int pack_headers(int32_t width, int32_t height, Headers& headers) {
    const int64_t row_stride = row_stride_of(width, bits_per_pixel);
    Ref stride_value = Ref::steal(PyLong_FromLongLong(row_stride));
    Ref height_value = Ref::steal(PyLong_FromLong(height));
    Ref width_value = Ref::steal(PyLong_FromLong(width));
    if (!stride_value || !height_value || !width_value) return -1;
    Ref pixel_array_size = Ref::steal(PyNumber_Multiply(stride_value.get(), height_value.get()));
    if (!pixel_array_size) return -1;
    const Constants& c = state.constants;
    Ref file_size = Ref::steal(PyNumber_Add(literals.headers_size, pixel_array_size.get()));
    if (!file_size) return -1;
    headers.file = host::struct_pack(literals.fmt_file, file_size.get(), c.zero, c.zero, literals.headers_size);
    if (!headers.file) return -1;
    // One plane, no compression, no palette.
    headers.info = host::struct_pack(literals.fmt_info_write, literals.info_header_size, width_value.get(),
                                     height_value.get(), c.one, literals.bits_per_pixel, c.zero,
                                     pixel_array_size.get(), literals.resolution, literals.resolution, c.zero, c.zero);
    return headers.info ? 0 : -1;
}

// Lays out `count` rows of the file from its row `first` on (the image's
// bottom row is the file's first) into `out`, each padded to `row_stride`.
void lay_out_rows(std::span<const uint8_t> pixels, size_t width, size_t height, size_t row_stride, size_t first,
                  size_t count, uint8_t* out) {
    const size_t row_bytes = width * 3;
    for (size_t i = 0; i < count; ++i) {
        const size_t y = height - 1 - (first + i);
        rgb_to_bgr_padded_row(pixels.subspan(y * row_bytes, row_bytes), {out + i * row_stride, row_stride}, width);
    }
}

// Writes the pixel rows to a file other than the host's writer, bottom row
// first, in blocks of whole rows, each a new object, as the file may keep
// the object it was given.
int write_rows(PyObject* output, std::span<const uint8_t> pixels, size_t width, size_t height) {
    const size_t row_stride = static_cast<size_t>(row_stride_of(static_cast<int64_t>(width), bits_per_pixel));
    if (row_stride == 0 || height == 0) return 0;
    const size_t rows_per_block = std::max<size_t>(1, block_bytes / row_stride);
    for (size_t written = 0; written < height;) {
        const size_t rows = std::min(rows_per_block, height - written);
        Ref block = host::uninitialised_bytearray(static_cast<Py_ssize_t>(rows * row_stride));
        if (!block) return -1;
        lay_out_rows(pixels, width, height, row_stride, written, rows,
                     reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(block.get())));
        if (!host::call_method(output, state.names.write, block.get())) return -1;
        written += rows;
    }
    return 0;
}

// Hands `bytes` to the host's unbuffered file object `raw`, in as many
// writes as it takes to accept them all.
int write_all(PyObject* raw, char* bytes, size_t size) {
    while (size > 0) {
        Ref piece = Ref::steal(PyMemoryView_FromMemory(bytes, static_cast<Py_ssize_t>(size), PyBUF_READ));
        if (!piece) return -1;
        Ref result = host::call_method(raw, state.names.write, piece.get());
        if (!result) return -1;
        if (result.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError, "write could not complete without blocking");
            return -1;
        }
        const Py_ssize_t written = PyLong_AsSsize_t(result.get());
        if (written == -1 && PyErr_Occurred()) return -1;
        if (written <= 0 || static_cast<size_t>(written) > size) {
            PyErr_Format(PyExc_OSError, "the file's write took %zd of %zd bytes", written,
                         static_cast<Py_ssize_t>(size));
            return -1;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

// Writes the file in blocks of whole rows, laid out in `block`, which holds
// the headers, `header_size` bytes, and room for one block's rows after
// them; the first write carries the headers. Nobody else sees this file, so
// one buffer serves every block. The blocks go to the host's unbuffered file
// beneath the buffered one, which would run the signal handlers after each
// system write: a file on disk is then whole before an interrupt (Ctrl-C)
// is raised, while one that breaks a wait on a pipe's reader still ends the
// save.
int write_blocks(PyObject* output, PyObject* block, size_t header_size, std::span<const uint8_t> pixels,
                 size_t width, size_t height) {
    Ref raw = Ref::steal(PyObject_GetAttr(output, state.names.raw));
    if (!raw) return -1;
    const size_t row_stride = static_cast<size_t>(row_stride_of(static_cast<int64_t>(width), bits_per_pixel));
    char* const start = PyByteArray_AS_STRING(block);
    char* const rows_start = start + header_size;
    // Rows of no bytes (an image of width 0) all go in the headers' write.
    const size_t rows_per_block =
        row_stride == 0 ? height : (static_cast<size_t>(PyByteArray_GET_SIZE(block)) - header_size) / row_stride;
    size_t written = 0;
    do {
        const size_t rows = std::min(rows_per_block, height - written);
        if (row_stride > 0)
            lay_out_rows(pixels, width, height, row_stride, written, rows, reinterpret_cast<uint8_t*>(rows_start));
        char* const from = written == 0 ? start : rows_start;
        if (write_all(raw.get(), from, static_cast<size_t>(rows_start - from) + rows * row_stride) < 0) return -1;
        written += rows;
    } while (written < height);
    return 0;
}

Ref write_bmp(PyObject* path, int32_t width, int32_t height, PyObject* pixels) {
    Ref buffer = pixel_buffer(pixels);
    if (!buffer) return {};
    Headers headers;
    if (pack_headers(width, height, headers) < 0) return {};
    // Both headers packed: width and height are now known to be >= 0.
    const uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
    if (static_cast<uint64_t>(PyByteArray_GET_SIZE(buffer.get())) < needed) {
        PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        return {};
    }
    PyObject* const header_pieces[3] = {state.constants.bmp_signature, headers.file.get(), headers.info.get()};
    // The host's writer, which nobody else sees (writes_whole_files), gets
    // the file in blocks (write_blocks) from memory taken now, headers first.
    // Blocks that stay in the cache cost less than laying out the whole file
    // and handing it over in one write, whose buffer the system write then
    // reads back from memory (and which, above the allocator's mapping
    // threshold, is fresh memory faulted in page by page at every call).
    const int64_t row_stride = row_stride_of(width, bits_per_pixel);
    const int64_t rows_size = row_stride * static_cast<int64_t>(height);
    const int64_t block_rows_size =
        row_stride == 0 ? 0
                        : std::min(rows_size, std::max<int64_t>(1, static_cast<int64_t>(block_bytes) / row_stride) * row_stride);
    Ref block;
    if (writes_whole_files()) {
        if (block_rows_size > PY_SSIZE_T_MAX) return PyErr_NoMemory(), Ref{};
        block = joined_pieces(header_pieces, static_cast<Py_ssize_t>(block_rows_size));
        if (!block) return {};
    }
    // A pending interrupt is raised before the file is opened rather than
    // after it has been truncated.
    if (host::check_signals() < 0) return {};
    Ref file = host::open_file(path, state.constants.mode_write);
    if (!file) return {};
    return host::with_context(file.get(), [&](PyObject* output) -> Ref {
        if (!block) {
            for (PyObject* piece : header_pieces) {
                if (!host::call_method(output, state.names.write, piece)) return {};
            }
        }
        // The buffer is read in place under an export, which keeps it from
        // being resized while the file is written. Opening the file may have
        // run Python code (a path's __fspath__), so its size is checked again.
        BufferView view;
        if (view.acquire(buffer.get()) < 0) return {};
        if (view.bytes().size() < needed) {
            PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
            return {};
        }
        const auto columns = static_cast<size_t>(width);
        const auto rows = static_cast<size_t>(height);
        const int status =
            !block ? write_rows(output, view.bytes(), columns, rows)
                   : write_blocks(output, block.get(),
                               static_cast<size_t>(PyByteArray_GET_SIZE(block.get()) - block_rows_size), view.bytes(),
                               columns, rows);
        return status < 0 ? Ref{} : Ref::borrow(Py_None);
    });
}

// A plain function naming the record, not a template instantiated from the
// record's own initialiser: some compilers never emit such an instantiation.
PyObject* write_bmp_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_writer(write_bmp_def, write_bmp, args, nargs, kwnames);
}

}  // namespace

constexpr EntryPoint write_bmp_def = writer_def("_writeBmp", write_bmp_impl);

}  // namespace tessarin::bmp
