#include "png_writer/encoder.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "common/host_compat.hpp"
#include "png_writer/workers.hpp"

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

void put_u32(uint8_t* at, uint32_t value) noexcept {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

// A zlib stream, or a part of one, as the compressor gave it: a list of
// bytes objects, in order, and their total length.
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

// zlib's flush modes, as compressobj().flush takes them.
constexpr int z_sync_flush = 2;
constexpr int z_finish = 4;

// Where a compressor's rows stand in the stream: whether they start it,
// after the zlib header, or continue it as raw deflate with the rows before
// them as its dictionary; whether they end it, with the stream's Adler-32,
// or end on a byte boundary (a sync flush) for the next part to follow; and
// whether the Adler-32 of their scanlines is taken, for a stream made of
// parts.
struct Part {
    bool starts = true;
    bool ends = true;
    bool checksum = false;
};

// The rows of one part of a stream: their scanlines' Adler-32 where the
// part takes it.
struct PartStream {
    Stream stream;
    uint32_t adler = 1;
};

unsigned long unsigned_result(Ref result) {
    if (!result) return static_cast<unsigned long>(-1);
    return PyLong_AsUnsignedLongMask(result.get());
}

// The scanlines of the rows just before `first_row`, as many as fill the
// compressor's window, as a bytes object for compressobj's zdict.
Ref dictionary_before(const Image& image, const Candidate& candidate, size_t first_row, Workspace& work) {
    const size_t window = size_t{1} << candidate.window_bits;
    const size_t scanline = work.row_bytes + 1;
    const size_t rows = std::min({first_row, (window + scanline - 1) / scanline, work.rows_per_piece});
    const std::span<uint8_t> scanlines = work.piece.first(rows * scanline);
    png::filter_rows(candidate.filter, image.pixels, work.row_bytes, first_row - rows, first_row,
                     work.scratch.first(Workspace::scratch_size(work.row_bytes)), scanlines, image.format.pixel_bytes);
    const size_t size = std::min(window, scanlines.size());
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(scanlines.data()) +
                                                    (scanlines.size() - size),
                                                static_cast<Py_ssize_t>(size)));
}

Ref new_compressor(const Host& host, const Candidate& candidate, int level, PyObject* dictionary) {
    const int window_bits = dictionary ? -candidate.window_bits : candidate.window_bits;
    const int values[5] = {level, zlib_deflated, window_bits, candidate.memory_level, candidate.strategy};
    Ref arguments[5];
    for (size_t i = 0; i < 5; ++i) {
        arguments[i] = Ref::steal(PyLong_FromLong(values[i]));
        if (!arguments[i]) return {};
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(host.compressobj, arguments[0].get(), arguments[1].get(),
                                                   arguments[2].get(), arguments[3].get(), arguments[4].get(),
                                                   dictionary, nullptr));
}

// Compresses the scanlines of `strips`, in order, at `level`, as `part`
// says. Pending signals are checked between pieces; once `stop` is set the
// rest is left undone.
int compress_strips(const Host& host, const Image& image, const Candidate& candidate, int level,
                    std::span<const Strip> strips, const Part& part, Workspace& work, PartStream& out,
                    const std::atomic<bool>& stop) {
    Ref dictionary;
    if (!part.starts) {
        dictionary = dictionary_before(image, candidate, strips.front().first_row, work);
        if (!dictionary) return -1;
    }
    Ref compressor = new_compressor(host, candidate, level, dictionary.get());
    if (!compressor) return -1;
    Stream& stream = out.stream;
    stream.pieces = Ref::steal(PyList_New(0));
    if (!stream.pieces) return -1;
    stream.size = 0;
    out.adler = 1;
    for (const Strip& strip : strips) {
        for (size_t row = strip.first_row; row < strip.end_row;) {
            const size_t rows = std::min(work.rows_per_piece, strip.end_row - row);
            const std::span<uint8_t> scanlines = work.piece.first(rows * (work.row_bytes + 1));
            // The pixels' buffer is held, and the other buffers are this
            // call's own, so other threads may run while the rows are
            // filtered.
            Py_BEGIN_ALLOW_THREADS
            png::filter_rows(candidate.filter, image.pixels, work.row_bytes, row, row + rows,
                             work.scratch.first(Workspace::scratch_size(work.row_bytes)), scanlines,
                             image.format.pixel_bytes);
            Py_END_ALLOW_THREADS
            row += rows;
            Ref view = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(scanlines.data()),
                                                          static_cast<Py_ssize_t>(scanlines.size()), PyBUF_READ));
            if (!view) return -1;
            if (part.checksum) {
                Ref previous = Ref::steal(PyLong_FromUnsignedLong(out.adler));
                if (!previous) return -1;
                const unsigned long adler = unsigned_result(
                    Ref::steal(PyObject_CallFunctionObjArgs(host.adler32, view.get(), previous.get(), nullptr)));
                if (adler == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
                out.adler = static_cast<uint32_t>(adler);
            }
            Ref output = Ref::steal(
                PyObject_CallMethodObjArgs(compressor.get(), host.compress_name, view.get(), nullptr));
            if (append(stream, std::move(output)) < 0 || host::check_signals(host.signal_check) < 0) return -1;
            if (stop) return 0;
        }
    }
    Ref mode = Ref::steal(PyLong_FromLong(part.ends ? z_finish : z_sync_flush));
    if (!mode) return -1;
    return append(stream,
                  Ref::steal(PyObject_CallMethodObjArgs(compressor.get(), host.flush_name, mode.get(), nullptr)));
}

// The Adler-32 of two byte strings joined, from each one's and the second's
// length: the first's sums carry on over the second's bytes.
uint32_t adler32_joined(uint32_t first, uint32_t second, size_t second_length) noexcept {
    constexpr uint64_t base = 65521;
    const uint64_t length = second_length % base;
    const uint64_t first_a = first & 0xffff, first_b = first >> 16;
    const uint64_t a = (first_a + (second & 0xffff) + base - 1) % base;
    const uint64_t b = (first_b + (second >> 16) + length * first_a + base - length) % base;
    return static_cast<uint32_t>(b << 16 | a);
}

// The whole image as one zlib stream in `segments` parts, made on up to
// `threads` threads. Each part is a run of rows deflated by a compressor of
// its own: the first starts the stream, each later one continues it with
// the rows before it as its dictionary, so that matches reach back across
// the join as in a single stream, and all but the last end with a sync
// flush. A join costs a few bytes; the file is the same whichever number of
// threads made it.
struct WholeImage {
    const Host* host;
    const Image* image;
    const Candidate* candidate;
    size_t segments;
    PartStream parts[max_segments];
};

int compress_segment(void* context, size_t segment, const std::atomic<bool>& stop) {
    auto& whole = *static_cast<WholeImage*>(context);
    const size_t height = whole.image->height;
    const Strip rows[1] = {{height * segment / whole.segments, height * (segment + 1) / whole.segments}};
    Workspace work(whole.image->format.row_bytes);
    if (!work) return -1;
    const Part part{segment == 0, segment + 1 == whole.segments, whole.segments > 1};
    return compress_strips(*whole.host, *whole.image, *whole.candidate, whole.candidate->level, rows, part, work,
                           whole.parts[segment], stop);
}

int compress_image(const Host& host, const Image& image, const Candidate& candidate, size_t segments,
                   size_t threads, Stream& stream) {
    WholeImage whole{&host, &image, &candidate, std::clamp<size_t>(segments, 1, std::min(image.height, max_segments)),
                     {}};
    if (run_jobs(host.threads, whole.segments, threads, compress_segment, &whole) < 0) return -1;
    if (whole.segments == 1) {
        stream = std::move(whole.parts[0].stream);
        return 0;
    }
    stream.pieces = Ref::steal(PyList_New(0));
    if (!stream.pieces) return -1;
    stream.size = 0;
    uint32_t adler = 1;
    const size_t scanline = image.format.row_bytes + 1;
    for (size_t segment = 0; segment < whole.segments; ++segment) {
        const PartStream& part = whole.parts[segment];
        PyObject* const pieces = part.stream.pieces.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces); ++i) {
            if (append(stream, Ref::borrow(PyList_GET_ITEM(pieces, i))) < 0) return -1;
        }
        const size_t rows = image.height * (segment + 1) / whole.segments - image.height * segment / whole.segments;
        adler = adler32_joined(adler, part.adler, rows * scanline);
    }
    uint8_t trailer[4];
    put_u32(trailer, adler);
    return append(stream, Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(trailer), 4)));
}

// The candidates' samples, one job each.
struct Samples {
    const Host* host;
    const Image* image;
    std::span<const Candidate> candidates;
    std::span<const Strip> strips;
    size_t sizes[max_candidates];
};

int compress_sample(void* context, size_t index, const std::atomic<bool>& stop) {
    auto& samples = *static_cast<Samples*>(context);
    const Candidate& candidate = samples.candidates[index];
    Workspace work(samples.image->format.row_bytes);
    if (!work) return -1;
    PartStream probe;
    if (compress_strips(*samples.host, *samples.image, candidate, candidate.sample_level, samples.strips, Part{},
                        work, probe, stop) < 0) {
        return -1;
    }
    samples.sizes[index] = probe.stream.size;
    return 0;
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

// The file: signature, IHDR, PLTE for a palette, the stream in IDAT
// chunks, IEND.
Ref assemble(const Host& host, const Image& image, const Stream& stream) {
    const size_t idat_chunks = std::max<size_t>(1, (stream.size + idat_chunk_size - 1) / idat_chunk_size);
    const std::span<const uint8_t> palette = image.format.palette;
    const size_t palette_chunk = palette.empty() ? 0 : chunk_overhead + palette.size();
    const size_t file_size = sizeof png_signature + (chunk_overhead + ihdr_size) + palette_chunk +
                             (idat_chunks * chunk_overhead + stream.size) + chunk_overhead;
    Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(file_size)));
    if (!file) return {};
    uint8_t* at = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(file.get()));
    std::memcpy(at, png_signature, sizeof png_signature);
    at = start_chunk(at + sizeof png_signature, ihdr_size, "IHDR");
    put_u32(at, static_cast<uint32_t>(image.width));
    put_u32(at + 4, static_cast<uint32_t>(image.height));
    const uint8_t fields[5] = {static_cast<uint8_t>(image.format.bit_depth),
                               static_cast<uint8_t>(image.format.colour_type), png::compression_deflate,
                               png::filter_method_adaptive, png::interlace_none};
    std::memcpy(at + 8, fields, sizeof fields);
    at = finish_chunk(host, at + ihdr_size, ihdr_size);
    if (!at) return {};
    if (!palette.empty()) {
        at = start_chunk(at, palette.size(), "PLTE");
        std::memcpy(at, palette.data(), palette.size());
        at = finish_chunk(host, at + palette.size(), palette.size());
        if (!at) return {};
    }

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
               std::span<const Strip> sample, size_t finalists, const Threading& threading, Outcome& outcome) {
    // Candidates in the order they compress the whole image: by the size of
    // their sample, or as given.
    size_t order[max_candidates];
    const size_t count = candidates.size();
    for (size_t i = 0; i < count; ++i) order[i] = i;
    size_t whole = count;
    if (!sample.empty() && count > 1) {
        Samples samples{&host, &image, candidates, sample, {}};
        if (run_jobs(host.threads, count, threading.threads, compress_sample, &samples) < 0) return {};
        double sample_sizes[max_candidates];
        for (size_t i = 0; i < count; ++i) {
            outcome.sample_sizes[i] = samples.sizes[i];
            sample_sizes[i] = static_cast<double>(samples.sizes[i]) * (1000 + candidates[i].sample_handicap) / 1000;
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
        const double smallest = sample_sizes[order[0]];
        for (size_t k = whole; k < count; ++k) {
            const Candidate& candidate = candidates[order[k]];
            if (candidate.finalist_margin > 0 &&
                sample_sizes[order[k]] <= smallest * (1000 + candidate.finalist_margin) / 1000) {
                order[whole++] = order[k];
            }
        }
    }

    Stream best;
    for (size_t k = 0; k < whole; ++k) {
        Stream stream;
        if (compress_image(host, image, candidates[order[k]], threading.segments, threading.threads, stream) < 0) {
            return {};
        }
        outcome.full_sizes[order[k]] = stream.size;
        if (!best.pieces || stream.size < best.size) {
            best = std::move(stream);
            outcome.chosen = order[k];
        }
    }
    return assemble(host, image, best);
}

}  // namespace tessarin::png_writer
