// The PNG decoder: 8-bit RGB or RGBA, not interlaced, to an RGB buffer.
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/errors.hpp"
#include "common/pixel_buffer.hpp"
#include "kernels/open_subset.hpp"
#include "kernels/png_format.hpp"
#include "kernels/png_row_formats.hpp"
#include "kernels/png_row_reconstructor.hpp"
#include "kernels/png_unfilter.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/png/chunk.hpp"
#include "tessarin_ext/png/literals.hpp"
#include "tessarin_ext/png/png.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::png {

namespace {

constexpr TracebackSite load_png_site{"_loadPng"};

using Header = kernels::OpenPngHeader;

int parse_header(PyObject* data, Header& header) {
    Ref values = host::struct_unpack(literals.fmt_ihdr, data);
    if (!values) return -1;
    Ref fields[7];
    if (unpack_exact(values.get(), 7, fields) < 0) return -1;
    int32_t* targets[7] = {&header.width,       &header.height, &header.bit_depth, &header.colour_type,
                           &header.compression, &header.filter, &header.interlace};
    for (int i = 0; i < 7; ++i) {
        if (to_int32(fields[i].get(), targets[i]) < 0) return -1;
    }
    return 0;
}

// One chunk through the module global _readChunk; the module's own function
// is called without the detour through argument binding, and with the
// stream's origin.
Ref next_chunk(PyObject* stream, host::StreamOrigin origin) {
    Ref reader = host::global(state.names.readChunk);
    if (!reader) return {};
    if (is_function_for(reader.get(), read_chunk_def)) {
        Ref chunk = read_chunk(stream, origin);
        if (!chunk) add_traceback(read_chunk_def.site);
        return chunk;
    }
    return host::call(reader.get(), stream);
}

// The chunk loop: header fields and the IDAT payloads in stream order.
int read_chunks(PyObject* stream, host::StreamOrigin origin, Header& header, Ref& idat_chunks) {
    idat_chunks = Ref::steal(PyList_New(0));
    if (!idat_chunks) return -1;
    for (;;) {
        Ref chunk = next_chunk(stream, origin);
        if (!chunk) return -1;
        Ref parts[2];
        if (unpack_exact(chunk.get(), 2, parts) < 0) return -1;
        PyObject* chunk_type = parts[0].get();
        const int present = PyObject_IsTrue(chunk_type);
        if (present <= 0) return present;
        const int is_header = PyObject_RichCompareBool(chunk_type, literals.tag_ihdr, Py_EQ);
        if (is_header < 0) return -1;
        if (is_header) {
            if (parse_header(parts[1].get(), header) < 0) return -1;
            continue;
        }
        const int is_data = PyObject_RichCompareBool(chunk_type, literals.tag_idat, Py_EQ);
        if (is_data < 0) return -1;
        if (is_data) {
            if (PyList_Append(idat_chunks.get(), parts[1].get()) < 0) return -1;
            continue;
        }
        const int is_end = PyObject_RichCompareBool(chunk_type, literals.tag_iend, Py_EQ);
        if (is_end != 0) return is_end < 0 ? -1 : 0;
    }
}

int check_header(const Header& header) {
    const char* refusal = kernels::png_open_header_refusal(header);
    return refusal ? raise_value_error(refusal) : 0;
}

// Host-owned memory for the row reconstructor, so that an allocation that
// fails is the host's MemoryError, pending. Pages of the result are touched
// only as rows arrive.
class HostRowMemory final : public RowMemory {
public:
    bool output(size_t size, std::span<uint8_t>& out) override {
        if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory(), false;
        if (!pixels_.allocate(static_cast<Py_ssize_t>(size))) return false;
        out = {pixels_.data(), size};
        return true;
    }
    bool carry(size_t size, std::span<uint8_t>& out) override { return resize(carry_, size, out); }
    bool ring(size_t size, std::span<uint8_t>& out) override { return resize(ring_, size, out); }

    Ref take_pixels() { return pixels_.finish(); }

private:
    // `buffer`, made on first use, resized to `size` bytes with its first
    // bytes kept and the rest not initialised; `out` spans it.
    static bool resize(Ref& buffer, size_t size, std::span<uint8_t>& out) {
        if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory(), false;
        if (!buffer) {
            buffer = host::uninitialised_bytearray(static_cast<Py_ssize_t>(size));
            if (!buffer) return false;
        } else if (host::resize_private_bytearray(buffer, static_cast<Py_ssize_t>(size)) < 0) {
            return false;
        }
        out = {reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(buffer.get())), size};
        return true;
    }

    PixelBuffer pixels_;
    Ref carry_, ring_;
};

// Receives the inflated image data in pieces of any size and reconstructs
// each row as soon as it is complete, while it is still in the cache. The
// result is that of reconstructing the whole inflated data at once: errors
// found here (an unsupported filter type, no memory for the result) are
// held back until the stream has been inflated in full, since an invalid
// stream or a wrong data length is reported first.
class RowSink {
public:
    RowSink(const Header& header, const kernels::ScanlineFormat& format)
        : rows_(format, static_cast<size_t>(header.height), rgb_rows(header), run_rows_at_once(), memory_) {}

    void feed(std::span<const uint8_t> data) {
        rows_.feed(data);
        hold_error();
    }

    uint64_t received() const { return rows_.received(); }

    // The pixel buffer once the whole stream has been fed and checked.
    Ref finish(uint64_t expected) {
        if (rows_.received() != expected) return raise_value_error("Malformed PNG image data"), Ref{};
        rows_.finish();
        hold_error();
        if (held_) {
            held_.restore();
            return {};
        }
        return memory_.take_pixels();
    }

private:
    // The rows of the result: 8-bit RGB scanlines already are, and are
    // reconstructed in place; RGBA ones are converted.
    static RowOutput rgb_rows(const Header& header) {
        const size_t row_bytes = static_cast<size_t>(header.width) * 3;
        if (header.colour_type == color_rgb) return {row_bytes};
        return {row_bytes, kernels::png_row_to_rgb(header.colour_type, header.bit_depth)};
    }

    // The reconstructor's error, once, as the host exception it stands for.
    void hold_error() {
        if (rows_.status() == RowStatus::ok || held_) return;
        if (rows_.status() == RowStatus::unsupported_filter) {
            PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", rows_.unsupported_filter_type());
        } else if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        held_ = SavedError::take_pending();
    }

    HostRowMemory memory_;
    RowReconstructor rows_;
    SavedError held_;
};

// Output of each call to the inflater is bounded by the host's first three
// output blocks (32, 64 and 256 KiB): a larger bound lets it allocate its
// next block, 1 MiB, and then join them all into one more buffer. Small
// pieces are reconstructed while still in the cache, and the host's
// temporaries stay small enough not to push the heap into being trimmed and
// refaulted on every decode. This also bounds output beyond what the image
// needs, which is inflated only to check the stream and then dropped.
constexpr uint64_t inflate_output_bound = (32 + 64 + 256) * 1024;
// Input goes in pieces sized from the compression ratio seen so far, so that
// each inflates to about one bounded output: a piece that inflates to more
// leaves its rest in unconsumed_tail, which the host copies on every call.
constexpr Py_ssize_t first_input_piece = Py_ssize_t{32} * 1024;
constexpr Py_ssize_t smallest_input_piece = Py_ssize_t{4} * 1024;
constexpr Py_ssize_t largest_input_piece = Py_ssize_t{128} * 1024;
// Deflate gives at most 258 bytes for the 2 bits of its shortest match and
// one byte for each literal of at least a bit, so a stream inflates to at
// most 1032 times its size.
constexpr uint64_t deflate_max_expansion = 1032;

// Inflates the IDAT payloads with the host's zlib.decompressobj, as one
// zlib.decompress of their concatenation would: the same bytes, the same
// zlib.error for an invalid stream and the host's own error for one that
// stops early. At most `expected + 1` bytes are kept, so a small hostile
// file cannot make the decoder hold gigabytes before its length is refused.
// A stream of `stream_size` bytes too short to inflate to `expected` keeps
// nothing: its length is refused whatever it holds, and the pixel buffer of
// a size it claims is never reserved.
class Inflater {
public:
    Inflater(RowSink& sink, uint64_t expected, uint64_t stream_size)
        : sink_(sink), expected_(expected), can_fill_(expected / deflate_max_expansion <= stream_size) {}

    int start() {
        inflater_ = host::call(state.host_zlib_decompressobj);
        return inflater_ ? 0 : -1;
    }

    // Feeds one payload; `done` becomes true once the stream has ended.
    int feed(PyObject* payload) {
        const char* data = PyBytes_AS_STRING(payload);
        const Py_ssize_t size = PyBytes_GET_SIZE(payload);
        for (Py_ssize_t offset = 0; offset < size && !done_;) {
            const Py_ssize_t piece_size = std::min(next_piece_size(), size - offset);
            Ref piece = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data + offset), piece_size, PyBUF_READ));
            if (!piece || inflate(piece.get()) < 0) return -1;
            // Output cut off at its bound leaves input in unconsumed_tail,
            // or output pending inside the inflater: both are drained.
            while (!done_ && output_was_cut_) {
                Ref tail = Ref::steal(PyObject_GetAttr(inflater_.get(), state.names.unconsumed_tail));
                if (!tail || inflate(tail.get()) < 0) return -1;
            }
            offset += piece_size;
            consumed_ += static_cast<uint64_t>(piece_size);
        }
        return 0;
    }

    bool done() const { return done_; }

private:
    Py_ssize_t next_piece_size() const {
        if (consumed_ == 0 || produced_ == 0) return first_input_piece;
        const double expansion = static_cast<double>(produced_) / static_cast<double>(consumed_);
        const double wanted = static_cast<double>(inflate_output_bound) / expansion;
        return static_cast<Py_ssize_t>(std::clamp(wanted, static_cast<double>(smallest_input_piece),
                                                  static_cast<double>(largest_input_piece)));
    }

    int inflate(PyObject* input) {
        const uint64_t received = sink_.received();
        const bool discarding = !can_fill_ || received > expected_;
        const uint64_t wanted =
            discarding ? inflate_output_bound : std::min(inflate_output_bound, expected_ + 1 - received);
        Ref max_length = Ref::steal(PyLong_FromUnsignedLongLong(wanted));
        if (!max_length) return -1;
        Ref output = host::call_method(inflater_.get(), state.names.decompress, input, max_length.get());
        if (!output) return -1;
        const Py_ssize_t produced = PyBytes_GET_SIZE(output.get());
        produced_ += static_cast<uint64_t>(produced);
        output_was_cut_ = static_cast<uint64_t>(produced) == wanted;
        if (!discarding) {
            sink_.feed({reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(output.get())),
                        static_cast<size_t>(produced)});
        }
        Ref at_end = Ref::steal(PyObject_GetAttr(inflater_.get(), state.names.eof));
        if (!at_end) return -1;
        done_ = at_end.get() == Py_True;
        // Each piece takes milliseconds, so an interrupt is answered promptly.
        return host::check_signals();
    }

    RowSink& sink_;
    const uint64_t expected_;
    const bool can_fill_;
    Ref inflater_;
    bool done_ = false;
    bool output_was_cut_ = false;
    // Input the inflater has taken and output it has given, dropped output
    // included.
    uint64_t consumed_ = 0, produced_ = 0;
};

// The IDAT payloads inflated into `sink`. With the module global `zlib`
// still the host's own module and function, through an Inflater; otherwise
// zlib.decompress is called on the joined payloads.
int decompress_into(Ref idat_chunks, RowSink& sink, uint64_t expected) {
    Ref zlib_module = host::global(state.names.zlib);
    if (!zlib_module) return -1;
    Ref decompress = Ref::steal(PyObject_GetAttr(zlib_module.get(), state.names.decompress));
    if (!decompress) return -1;
    const bool host_zlib =
        zlib_module.get() == state.host_zlib && decompress.get() == state.host_zlib_decompress;
    bool all_bytes = true;
    uint64_t stream_size = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idat_chunks.get()) && all_bytes; ++i) {
        PyObject* payload = PyList_GET_ITEM(idat_chunks.get(), i);
        all_bytes = PyBytes_CheckExact(payload);
        if (all_bytes) stream_size += static_cast<uint64_t>(PyBytes_GET_SIZE(payload));
    }
    if (!host_zlib || !all_bytes) {
        Ref joined = host::call_method(state.constants.empty_bytes, state.names.join, idat_chunks.get());
        if (!joined) return -1;
        idat_chunks.reset();
        if (host_zlib) {
            Ref single = Ref::steal(PyList_New(1));
            if (!single) return -1;
            PyList_SET_ITEM(single.get(), 0, joined.release());
            return decompress_into(std::move(single), sink, expected);
        }
        Ref raw = host::call(decompress.get(), joined.get());
        joined.reset();
        if (!raw) return -1;
        BufferView view;
        if (view.acquire(raw.get()) < 0) return -1;
        sink.feed(view.bytes());
        return 0;
    }
    Inflater inflater(sink, expected, stream_size);
    if (inflater.start() < 0) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idat_chunks.get()) && !inflater.done(); ++i) {
        Ref payload = Ref::borrow(PyList_GET_ITEM(idat_chunks.get(), i));
        // Each payload is released as soon as it has been inflated.
        if (PyList_SetItem(idat_chunks.get(), i, Py_NewRef(Py_None)) < 0) return -1;
        if (inflater.feed(payload.get()) < 0) return -1;
    }
    if (!inflater.done()) {
        // A stream that stops early: the host's own error for it.
        Ref never = host::call(decompress.get(), state.constants.empty_bytes);
        return never ? 0 : -1;
    }
    return 0;
}

Ref load(PyObject* stream, host::StreamOrigin origin) {
    Ref signature = host::call_method(stream, state.names.read, state.constants.eight);
    if (!signature) return {};
    Ref expected_signature = host::global(state.names.PNG_SIGNATURE);
    if (!expected_signature) return {};
    const int differs = PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_NE);
    if (differs < 0) return {};
    if (differs) return raise_value_error("Unsupported PNG signature"), Ref{};

    Header header;
    Ref idat_chunks;
    if (read_chunks(stream, origin, header, idat_chunks) < 0 || check_header(header) < 0) return {};

    // The width went through to_int32: below 2^31, its scanlines' size does
    // not overflow, and a refusal could only stand for memory out of reach.
    kernels::ScanlineFormat format{};
    if (!kernels::png_scanline_format(header.colour_type, header.bit_depth, static_cast<uint64_t>(header.width),
                                      format)) {
        return PyErr_NoMemory(), Ref{};
    }
    // At most (2^33 + 1) * 2^31: fits in 64 bits.
    const uint64_t expected = (format.row_bytes + 1) * static_cast<uint64_t>(header.height);
    RowSink sink(header, format);
    if (decompress_into(std::move(idat_chunks), sink, expected) < 0) return {};
    Ref pixels = sink.finish(expected);
    if (!pixels) return {};
    return Ref::steal(Py_BuildValue("(iiO)", header.width, header.height, pixels.get()));
}

}  // namespace

Ref load_png(PyObject* stream, host::StreamOrigin origin) {
    Ref result = load(stream, origin);
    if (!result) add_traceback(load_png_site);
    return result;
}

}  // namespace tessarin::png
