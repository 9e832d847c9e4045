#include "png_writer/encoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tessarin::png_writer {
namespace {

// Scanlines are filtered into a buffer of about this size and handed to the
// compressor piece by piece: the buffer stays in the processor's cache
// between the filter writing it and deflate reading it, and pending signals
// are checked between pieces. The host's deflate takes some tens of
// milliseconds over a piece at the slowest settings used, so an interrupt
// waits no longer than that.
constexpr size_t piece_size = 256 * 1024;

// The image data is split into IDAT chunks of at most this many bytes; a
// chunk's length field takes at most 2^31 - 1.
constexpr size_t idat_chunk_size = 1024 * 1024;

constexpr uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr size_t chunk_overhead = 12;  // length, type, CRC
constexpr size_t ihdr_size = 13;
constexpr int zlib_deflated = 8;

// Memory allocated through the interpreter, freed with the object.
class HostMemory {
public:
    explicit HostMemory(size_t size) : data_(static_cast<uint8_t*>(PyMem_Malloc(std::max<size_t>(size, 1)))) {
        if (!data_) PyErr_NoMemory();
    }
    ~HostMemory() { PyMem_Free(data_); }
    HostMemory(const HostMemory&) = delete;
    HostMemory& operator=(const HostMemory&) = delete;
    explicit operator bool() const noexcept { return data_ != nullptr; }
    std::span<uint8_t> first(size_t size) const noexcept { return {data_, size}; }

private:
    uint8_t* data_;
};

// What filtering needs: the piece buffer and the filter kernels' scratch.
// `row_bytes` is the length of a pixel buffer, or less, so a scanline's
// length cannot overflow; the scratch size is checked.
struct Workspace {
    explicit Workspace(size_t row_bytes)
        : row_bytes(row_bytes),
          rows_per_piece(std::max<size_t>(1, piece_size / (row_bytes + 1))),
          piece(rows_per_piece * (row_bytes + 1)),
          scratch(scratch_size(row_bytes)) {}
    explicit operator bool() const noexcept { return piece && scratch; }

    static size_t scratch_size(size_t row_bytes) noexcept {
        return row_bytes <= SIZE_MAX / 5 ? png::filter_scratch_size(row_bytes) : SIZE_MAX;
    }

    size_t row_bytes;
    size_t rows_per_piece;
    HostMemory piece;
    HostMemory scratch;
};

// A zlib stream as the compressor gave it: a list of bytes objects, in
// order, and their total length.
struct Stream {
    Ref pieces;
    size_t size = 0;
};

int append(Stream& stream, Ref output) {
    if (!output) return -1;
    if (!PyBytes_Check(output.get())) {
        PyErr_Format(PyExc_TypeError, "the compressor returned %.200s, not bytes", Py_TYPE(output.get())->tp_name);
        return -1;
    }
    stream.size += static_cast<size_t>(PyBytes_GET_SIZE(output.get()));
    return PyList_Append(stream.pieces.get(), output.get());
}

Ref new_compressor(const Host& host, const Candidate& candidate, int level) {
    const int values[5] = {level, zlib_deflated, candidate.window_bits, candidate.memory_level, candidate.strategy};
    Ref arguments[5];
    for (size_t i = 0; i < 5; ++i) {
        arguments[i] = Ref::steal(PyLong_FromLong(values[i]));
        if (!arguments[i]) return {};
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(host.compressobj, arguments[0].get(), arguments[1].get(),
                                                   arguments[2].get(), arguments[3].get(), arguments[4].get(),
                                                   nullptr));
}

// Compresses the scanlines of `strips`, in order, as one zlib stream at
// `level`.
int compress_strips(const Host& host, const Image& image, const Candidate& candidate, int level,
                    std::span<const Strip> strips, Workspace& work, Stream& stream) {
    Ref compressor = new_compressor(host, candidate, level);
    if (!compressor) return -1;
    stream.pieces = Ref::steal(PyList_New(0));
    if (!stream.pieces) return -1;
    stream.size = 0;
    for (const Strip& strip : strips) {
        for (size_t row = strip.first_row; row < strip.end_row;) {
            const size_t rows = std::min(work.rows_per_piece, strip.end_row - row);
            const std::span<uint8_t> scanlines = work.piece.first(rows * (work.row_bytes + 1));
            png::filter_rows(candidate.filter, image.pixels, work.row_bytes, row, row + rows,
                             work.scratch.first(Workspace::scratch_size(work.row_bytes)), scanlines);
            row += rows;
            Ref view = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(scanlines.data()),
                                                          static_cast<Py_ssize_t>(scanlines.size()), PyBUF_READ));
            if (!view) return -1;
            Ref output = Ref::steal(
                PyObject_CallMethodObjArgs(compressor.get(), host.compress_name, view.get(), nullptr));
            if (append(stream, std::move(output)) < 0 || PyErr_CheckSignals() < 0) return -1;
        }
    }
    return append(stream, Ref::steal(PyObject_CallMethodObjArgs(compressor.get(), host.flush_name, nullptr)));
}

void put_u32(uint8_t* at, uint32_t value) noexcept {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

// Writes a chunk's length and type at `at`; its data follows.
uint8_t* start_chunk(uint8_t* at, size_t data_size, const char (&type)[5]) noexcept {
    put_u32(at, static_cast<uint32_t>(data_size));
    std::memcpy(at + 4, type, 4);
    return at + 8;
}

// Writes the CRC of the chunk whose data ends at `data_end` after it, taken
// by the host's zlib.crc32 over the type and data; returns where the next
// chunk starts.
uint8_t* finish_chunk(const Host& host, uint8_t* data_end, size_t data_size) {
    uint8_t* const type = data_end - data_size - 4;
    Ref view = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(type),
                                                  static_cast<Py_ssize_t>(data_size + 4), PyBUF_READ));
    if (!view) return nullptr;
    Ref crc = Ref::steal(PyObject_CallFunctionObjArgs(host.crc32, view.get(), nullptr));
    if (!crc) return nullptr;
    const unsigned long value = PyLong_AsUnsignedLongMask(crc.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    put_u32(data_end, static_cast<uint32_t>(value));
    return data_end + 4;
}

// The file: signature, IHDR, the stream in IDAT chunks, IEND.
Ref assemble(const Host& host, const Image& image, const Stream& stream) {
    const size_t idat_chunks = std::max<size_t>(1, (stream.size + idat_chunk_size - 1) / idat_chunk_size);
    const size_t file_size = sizeof png_signature + (chunk_overhead + ihdr_size) +
                             (idat_chunks * chunk_overhead + stream.size) + chunk_overhead;
    Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(file_size)));
    if (!file) return {};
    uint8_t* at = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(file.get()));
    std::memcpy(at, png_signature, sizeof png_signature);
    at = start_chunk(at + sizeof png_signature, ihdr_size, "IHDR");
    put_u32(at, static_cast<uint32_t>(image.width));
    put_u32(at + 4, static_cast<uint32_t>(image.height));
    const uint8_t fields[5] = {png::bit_depth_8, png::color_rgb, png::compression_deflate,
                               png::filter_method_adaptive, png::interlace_none};
    std::memcpy(at + 8, fields, sizeof fields);
    at = finish_chunk(host, at + ihdr_size, ihdr_size);
    if (!at) return {};

    // The stream's pieces, copied in order into chunks of idat_chunk_size.
    PyObject* const pieces = stream.pieces.get();
    Py_ssize_t piece = 0;
    size_t piece_offset = 0;
    for (size_t left = stream.size, chunk = 0; chunk < idat_chunks; ++chunk) {
        const size_t chunk_size = std::min(left, idat_chunk_size);
        uint8_t* data = start_chunk(at, chunk_size, "IDAT");
        for (size_t copied = 0; copied < chunk_size;) {
            PyObject* bytes = PyList_GET_ITEM(pieces, piece);
            const size_t piece_left = static_cast<size_t>(PyBytes_GET_SIZE(bytes)) - piece_offset;
            const size_t count = std::min(piece_left, chunk_size - copied);
            std::memcpy(data + copied, PyBytes_AS_STRING(bytes) + piece_offset, count);
            copied += count;
            piece_offset += count;
            if (piece_offset == static_cast<size_t>(PyBytes_GET_SIZE(bytes))) {
                ++piece;
                piece_offset = 0;
            }
        }
        at = finish_chunk(host, data + chunk_size, chunk_size);
        if (!at) return {};
        left -= chunk_size;
    }
    at = start_chunk(at, 0, "IEND");
    if (!finish_chunk(host, at, 0)) return {};
    return file;
}

}  // namespace

Ref encode_png(const Host& host, const Image& image, std::span<const Candidate> candidates,
               std::span<const Strip> sample, size_t finalists, Outcome& outcome) {
    Workspace work(image.width * 3);
    if (!work) return {};

    // Candidates in the order they compress the whole image: by the size of
    // their sample, or as given.
    size_t order[max_candidates];
    const size_t count = candidates.size();
    for (size_t i = 0; i < count; ++i) order[i] = i;
    size_t whole = count;
    if (!sample.empty() && count > 1) {
        double sample_sizes[max_candidates];
        for (size_t i = 0; i < count; ++i) {
            Stream probe;
            if (compress_strips(host, image, candidates[i], candidates[i].sample_level, sample, work, probe) < 0) {
                return {};
            }
            outcome.sample_sizes[i] = probe.size;
            sample_sizes[i] = static_cast<double>(probe.size) * (1000 + candidates[i].sample_handicap) / 1000;
        }
        // A stable insertion sort: std::stable_sort may allocate through
        // the C++ runtime, which the modules do not link.
        for (size_t i = 1; i < count; ++i) {
            const size_t index = order[i];
            size_t at = i;
            for (; at > 0 && sample_sizes[index] < sample_sizes[order[at - 1]]; --at) order[at] = order[at - 1];
            order[at] = index;
        }
        whole = std::min(std::max<size_t>(finalists, 1), count);
    }

    const Strip all_rows[1] = {{0, image.height}};
    Stream best;
    for (size_t k = 0; k < whole; ++k) {
        Stream stream;
        const Candidate& candidate = candidates[order[k]];
        if (compress_strips(host, image, candidate, candidate.level, all_rows, work, stream) < 0) return {};
        outcome.full_sizes[order[k]] = stream.size;
        if (!best.pieces || stream.size < best.size) {
            best = std::move(stream);
            outcome.chosen = order[k];
        }
    }
    return assemble(host, image, best);
}

}  // namespace tessarin::png_writer
