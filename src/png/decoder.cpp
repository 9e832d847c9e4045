// The PNG decoder: 8-bit RGB or RGBA, not interlaced, to an RGB buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
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

// Receives the inflated image data in pieces of any size and reconstructs
// each row as soon as it is complete, while it is still in the cache. The
// result is that of reconstructing the whole inflated data at once: errors
// found here (an unsupported filter type, no memory for the result) are
// held back until the stream has been inflated in full, since an invalid
// stream or a wrong data length is reported first.
//
// Memory follows the data that arrives, not the size the header claims: the
// result is allocated when the first row is complete, the carry row grows
// with the bytes put into it, and the RGBA rows are made when a row is
// reconstructed, no more of them than the image has rows. A small file that
// claims a huge image then costs little before its length is refused.
class RowSink {
public:
    explicit RowSink(const Header& header)
        : bytes_per_pixel_(header.color_type == 2 ? 3 : 4),
          width_(static_cast<size_t>(header.width)),
          rows_(static_cast<size_t>(header.height)),
          stride_(width_ * static_cast<size_t>(bytes_per_pixel_)) {}

    void feed(std::span<const uint8_t> data) {
        received_ += data.size();
        const size_t row_size = stride_ + 1;
        while (reconstructing_ && !data.empty() && row_ < rows_) {
            if (carry_size_ == 0 && data.size() >= row_size) {
                if (!reserve_output()) return;
                if (const size_t run = run_length(data); run >= 2) {
                    reconstruct_run(data.first(run * row_size), run);
                    data = data.subspan(run * row_size);
                    continue;
                }
                reconstruct_row(data.first(row_size));
                data = data.subspan(row_size);
                continue;
            }
            const size_t take = std::min(row_size - carry_size_, data.size());
            if (!reserve_carry(carry_size_ + take)) return;
            std::memcpy(carry_.data() + carry_size_, data.data(), take);
            carry_size_ += take;
            data = data.subspan(take);
            if (carry_size_ == row_size) {
                carry_size_ = 0;
                if (!reserve_output()) return;
                reconstruct_row(carry_.first(row_size));
            }
        }
    }

    uint64_t received() const { return received_; }

    // The pixel buffer once the whole stream has been fed and checked. An
    // image without rows has had no row to allocate it.
    Ref finish(uint64_t expected) {
        if (received_ != expected) return raise_value_error("Malformed PNG image data"), Ref{};
        if (!held_) reserve_output();
        if (held_) {
            held_.restore();
            return {};
        }
        return std::move(pixels_);
    }

private:
    void stop_with_pending() {
        held_ = SavedError::take_pending();
        reconstructing_ = false;
    }

    // Holds back the pending error (no memory, as a rule) and stops.
    bool stop_for_memory() {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        stop_with_pending();
        return false;
    }

    // The result, allocated once; its pages are touched only as rows arrive.
    bool reserve_output() {
        if (pixels_) return true;
        const uint64_t size = static_cast<uint64_t>(width_) * rows_ * 3;
        if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return stop_for_memory();
        pixels_ = host::uninitialised_bytearray(static_cast<Py_ssize_t>(size));
        if (!pixels_) return stop_for_memory();
        out_ = {reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels_.get())), static_cast<size_t>(size)};
        return true;
    }

    // Room for `size` bytes of the row being carried over from one piece to
    // the next, grown at least twofold each time up to one whole row.
    bool reserve_carry(size_t size) {
        if (size <= carry_.size()) return true;
        const size_t row_size = stride_ + 1;
        const size_t grown = std::min(row_size, std::max({size, 2 * carry_.size(), size_t{4096}}));
        if (grown > static_cast<size_t>(PY_SSIZE_T_MAX)) return stop_for_memory();
        if (!carry_buffer_) {
            carry_buffer_ = host::uninitialised_bytearray(static_cast<Py_ssize_t>(grown));
            if (!carry_buffer_) return stop_for_memory();
        } else if (PyByteArray_Resize(carry_buffer_.get(), static_cast<Py_ssize_t>(grown)) < 0) {
            return stop_for_memory();
        }
        carry_ = {reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(carry_buffer_.get())), grown};
        return true;
    }

    // The ring of reconstructed RGBA rows: one more than a run can take, but
    // never more than the image has rows.
    bool reserve_ring() {
        if (ring_buffer_ || stride_ == 0) return true;
        const size_t ring_bytes = ring_size_ * stride_;
        if (ring_bytes / ring_size_ != stride_ || ring_bytes > static_cast<size_t>(PY_SSIZE_T_MAX)) {
            return stop_for_memory();
        }
        ring_buffer_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ring_bytes)));
        if (!ring_buffer_) return stop_for_memory();
        rgba_ring_ = {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(ring_buffer_.get())), ring_bytes};
        return true;
    }

    // The RGBA row buffer `ahead` places after the one holding the previous
    // row.
    std::span<uint8_t> rgba_row(size_t ahead) const {
        return rgba_ring_.subspan((ring_previous_ + ahead) % ring_size_ * stride_, stride_);
    }

    // How many whole rows at the start of `data`, below a reconstructed row,
    // share the Average or the Paeth filter, up to the most the kernel takes
    // at once: two or more are undone together, much faster than one by one.
    size_t run_length(std::span<const uint8_t> data) const {
        if (prev_row_.empty() || (data[0] != 3 && data[0] != 4)) return 0;
        const size_t row_size = stride_ + 1;
        const size_t most = std::min({run_rows_at_once_, data.size() / row_size, rows_ - row_});
        size_t run = 1;
        while (run < most && data[run * row_size] == data[0]) ++run;
        return run;
    }

    void reconstruct_run(std::span<const uint8_t> rows, size_t count) {
        if (bytes_per_pixel_ == 4 && !reserve_ring()) return;
        const size_t row_size = stride_ + 1;
        const std::span<uint8_t> out_pixels = out_.subspan(row_ * width_ * 3, count * width_ * 3);
        std::span<const uint8_t> scanlines[max_run_rows];
        std::span<uint8_t> targets[max_run_rows];
        for (size_t k = 0; k < count; ++k) {
            scanlines[k] = rows.subspan(k * row_size + 1, stride_);
            targets[k] = bytes_per_pixel_ == 3 ? out_pixels.subspan(k * stride_, stride_) : rgba_row(k + 1);
        }
        unfilter_run(rows[0], {scanlines, count}, prev_row_, bytes_per_pixel_, {targets, count});
        if (bytes_per_pixel_ == 4) {
            for (size_t k = 0; k < count; ++k) rgba_to_rgb_row(targets[k], out_pixels.subspan(k * width_ * 3), width_);
            ring_previous_ = (ring_previous_ + count) % ring_size_;
        }
        prev_row_ = targets[count - 1];
        row_ += count;
    }

    // RGB rows are reconstructed straight into their place in the result,
    // which then serves as the previous row; RGBA rows go through the ring of
    // row buffers and lose their alpha on the way.
    void reconstruct_row(std::span<const uint8_t> row) {
        const std::span<const uint8_t> scanline = row.subspan(1);
        const std::span<uint8_t> out_pixels = out_.subspan(row_ * width_ * 3, width_ * 3);
        if (bytes_per_pixel_ == 3) {
            apply_png_filter(row[0], scanline, prev_row_, 3, out_pixels);
            prev_row_ = out_pixels;
        } else {
            if (!reserve_ring()) return;
            const std::span<uint8_t> current = rgba_row(1);
            apply_png_filter(row[0], scanline, prev_row_, 4, current);
            rgba_to_rgb_row(current, out_pixels, width_);
            prev_row_ = current;
            ring_previous_ = (ring_previous_ + 1) % ring_size_;
        }
        if (PyErr_Occurred()) {
            stop_with_pending();
            return;
        }
        ++row_;
    }

    static constexpr size_t max_run_rows = 4;
    const int bytes_per_pixel_;
    const size_t width_, rows_, stride_;
    const size_t run_rows_at_once_ = std::min(run_rows_at_once(), max_run_rows);
    const size_t ring_size_ = std::min(run_rows_at_once_ + 1, std::max<size_t>(rows_, 1));
    Ref pixels_, carry_buffer_, ring_buffer_;
    std::span<uint8_t> out_, carry_, rgba_ring_;
    size_t ring_previous_ = 0;
    std::span<const uint8_t> prev_row_;  // empty before the first row: all zero
    size_t row_ = 0, carry_size_ = 0;
    uint64_t received_ = 0;
    bool reconstructing_ = true;
    SavedError held_;  // raised at the end if nothing else is
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

// Inflates the IDAT payloads with the host's zlib.decompressobj, as one
// zlib.decompress of their concatenation would: the same bytes, the same
// zlib.error for an invalid stream and the host's own error for one that
// stops early. At most `expected + 1` bytes are kept, so a small hostile
// file cannot make the decoder hold gigabytes before its length is refused.
class Inflater {
public:
    Inflater(RowSink& sink, uint64_t expected) : sink_(sink), expected_(expected) {}

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
        const bool discarding = received > expected_;
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
        return PyErr_CheckSignals();
    }

    RowSink& sink_;
    const uint64_t expected_;
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
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idat_chunks.get()); ++i) {
        all_bytes = all_bytes && PyBytes_CheckExact(PyList_GET_ITEM(idat_chunks.get(), i));
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
    Inflater inflater(sink, expected);
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

    const uint64_t stride = static_cast<uint64_t>(header.width) * (header.color_type == 2 ? 3 : 4);
    // At most (2^33 + 1) * 2^31: fits in 64 bits.
    const uint64_t expected = (stride + 1) * static_cast<uint64_t>(header.height);
    RowSink sink(header);
    if (decompress_into(std::move(idat_chunks), sink, expected) < 0) return {};
    Ref pixels = sink.finish(expected);
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
