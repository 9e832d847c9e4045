// PNG files: the chunks walked and judged, then the image data inflated
// and its rows reconstructed into RGB, pass by pass for an interlaced
// image; or the headers alone described.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/checked.hpp"
#include "common/pixel_buffer.hpp"
#include "kernels/adam7.hpp"
#include "kernels/open_subset.hpp"
#include "kernels/png_chunks.hpp"
#include "kernels/png_row_reconstructor.hpp"
#include "kernels/png_structure.hpp"
#include "kernels/png_unfilter.hpp"
#include "reader/inflate.hpp"
#include "reader/reader.hpp"

namespace tessarin::reader {
namespace {

using kernels::ChunkStatus;
using kernels::PngChunk;
using kernels::PngChunkRole;
using kernels::PngChunkRules;
using kernels::PngChunkStatus;
using kernels::PngHeader;
using kernels::PngHeaderStatus;
using kernels::RgbPalette;
using png::RowStatus;

// Deflate gives at most 258 bytes for the 2 bits of its shortest match and
// one byte for each literal of at least a bit, so a stream inflates to at
// most 1032 times its size.
constexpr uint64_t deflate_max_expansion = 1032;

// A chunk type as messages quote it: 'IDAT', any byte that is not a
// printable character written \xNN.
struct ChunkName {
    char text[20];
};

ChunkName chunk_name(const uint8_t (&type)[4]) {
    ChunkName name{};
    size_t at = 0;
    name.text[at++] = '\'';
    for (const uint8_t byte : type) {
        if (byte >= 0x20 && byte < 0x7f && byte != '\\' && byte != '\'') {
            name.text[at++] = static_cast<char>(byte);
        } else {
            std::snprintf(&name.text[at], 5, "\\x%02x", byte);
            at += 4;
        }
    }
    name.text[at] = '\'';
    return name;
}

// What stopped the walk over the chunks, if anything.
enum class Fault : uint8_t {
    none,
    cut_header,   // the file ends inside a chunk's length and type
    long_chunk,   // a length past the format's limit
    cut_chunk,    // the file ends inside a chunk's data or CRC
    crc,          // a critical chunk's CRC does not match
    rule,         // see PngScan::rule
    header,       // see PngScan::header_status
};

struct PngScan {
    PngChunkRules rules;
    Fault fault = Fault::none;
    PngChunkStatus rule = PngChunkStatus::ok;
    PngHeaderStatus header_status = PngHeaderStatus::ok;
    // The chunk the fault lies in; for cut_header and for a rule broken at
    // the file's end, only `offset`.
    PngChunk chunk{};
    bool at_file_end = false;
    // The IHDR passed its CRC: its fields can be reported.
    bool header_read = false;
};

// Walks the chunks after the signature, as far as IEND, the file's end or
// the first fault, checking each critical chunk's CRC but IDAT's: those
// come with the inflating. -1 only with an error from the host.
int scan_png(const ReaderState& state, std::span<const uint8_t> file, PngScan& scan) {
    kernels::PngChunkWalker walker(file);
    PngChunk& chunk = scan.chunk;
    for (;;) {
        switch (walker.next(chunk)) {
            case ChunkStatus::ok: break;
            case ChunkStatus::end:
                scan.at_file_end = true;
                chunk.offset = file.size();
                scan.rule = scan.rules.finish();
                if (scan.rule != PngChunkStatus::ok) scan.fault = Fault::rule;
                return 0;
            case ChunkStatus::truncated_header:
                chunk.offset = walker.offset();
                scan.fault = Fault::cut_header;
                return 0;
            case ChunkStatus::length_too_large: scan.fault = Fault::long_chunk; return 0;
            case ChunkStatus::truncated_data: scan.fault = Fault::cut_chunk; return 0;
        }
        scan.rule = scan.rules.next(chunk);
        if (scan.rule != PngChunkStatus::ok) {
            scan.fault = Fault::rule;
            return 0;
        }
        const PngChunkRole role = scan.rules.role();
        if (kernels::png_chunk_is_critical(chunk) && role != PngChunkRole::data) {
            const int matches = crc_matches(state, chunk.crc_input, chunk.stored_crc);
            if (matches < 0) return -1;
            if (!matches) {
                scan.fault = Fault::crc;
                return 0;
            }
        }
        if (role == PngChunkRole::header) {
            scan.header_read = true;
            scan.header_status = kernels::check_png_header(scan.rules.header());
            if (scan.header_status != PngHeaderStatus::ok) {
                scan.fault = Fault::header;
                return 0;
            }
        } else if (role == PngChunkRole::end) {
            scan.rule = scan.rules.finish();
            if (scan.rule != PngChunkStatus::ok) scan.fault = Fault::rule;
            return 0;
        }
    }
}

Ref header_message(const PngHeader& header, PngHeaderStatus status) {
    switch (status) {
        case PngHeaderStatus::width_zero: return message("PNG IHDR: width 0 is not valid");
        case PngHeaderStatus::width_too_large: return message("PNG IHDR: width %u is over 2147483647", header.width);
        case PngHeaderStatus::height_zero: return message("PNG IHDR: height 0 is not valid");
        case PngHeaderStatus::height_too_large:
            return message("PNG IHDR: height %u is over 2147483647", header.height);
        case PngHeaderStatus::bad_colour_type:
            return message("PNG IHDR: colour type %d is not valid", header.colour_type);
        case PngHeaderStatus::bad_bit_depth:
            return message("PNG IHDR: bit depth %d is not valid for colour type %d", header.bit_depth,
                           header.colour_type);
        case PngHeaderStatus::bad_compression:
            return message("PNG IHDR: compression method %d is not valid", header.compression);
        case PngHeaderStatus::bad_filter: return message("PNG IHDR: filter method %d is not valid", header.filter);
        case PngHeaderStatus::bad_interlace:
            return message("PNG IHDR: interlace method %d is not valid", header.interlace);
        case PngHeaderStatus::ok: break;
    }
    return message("PNG IHDR: %ux%u pixels are more than memory can hold", header.width, header.height);
}

Ref rule_message(const PngScan& scan) {
    const PngChunk& chunk = scan.chunk;
    const ChunkName name = chunk_name(chunk.type);
    const char* broken = nullptr;
    switch (scan.rule) {
        case PngChunkStatus::type_not_letters: broken = "its type is not four letters"; break;
        case PngChunkStatus::ihdr_not_first: broken = "the first chunk must be IHDR"; break;
        case PngChunkStatus::ihdr_length:
            return message("PNG chunk 'IHDR' at offset %zu: length %u, not 13", chunk.offset, chunk.length);
        case PngChunkStatus::apple_cgbi:
            return message("PNG chunk 'CgBI' at offset %zu: an Apple CgBI file (made for iOS), not a standard PNG",
                           scan.rules.apple_cgbi_offset());
        case PngChunkStatus::unknown_critical: broken = "an unknown critical chunk"; break;
        case PngChunkStatus::plte_after_idat: broken = "a palette after the image data"; break;
        case PngChunkStatus::plte_repeated: broken = "a second palette"; break;
        case PngChunkStatus::plte_length:
            return message("PNG chunk 'PLTE' at offset %zu: length %u is not a multiple of 3 from 3 to 768",
                           chunk.offset, chunk.length);
        case PngChunkStatus::plte_missing: broken = "a palette image needs a PLTE chunk before its image data"; break;
        case PngChunkStatus::idat_not_consecutive: broken = "IDAT chunks are not consecutive"; break;
        case PngChunkStatus::no_idat:
            if (scan.at_file_end) return message("PNG file ends at offset %zu with no IDAT chunk", chunk.offset);
            broken = "no IDAT chunk before it";
            break;
        case PngChunkStatus::ok: break;
    }
    return message("PNG chunk %s at offset %zu: %s", name.text, chunk.offset, broken);
}

Ref scan_message(const PngScan& scan, std::span<const uint8_t> file) {
    const PngChunk& chunk = scan.chunk;
    switch (scan.fault) {
        case Fault::cut_header:
            return message("PNG chunk header at offset %zu: the file ends after %zu of its 8 bytes", chunk.offset,
                           file.size() - chunk.offset);
        case Fault::long_chunk:
            return message("PNG chunk %s at offset %zu: length %u is over 2147483647", chunk_name(chunk.type).text,
                           chunk.offset, chunk.length);
        case Fault::cut_chunk:
            return message("PNG chunk %s at offset %zu: the file ends inside it, %zu of its %llu bytes there",
                           chunk_name(chunk.type).text, chunk.offset, file.size() - chunk.offset,
                           static_cast<unsigned long long>(chunk.length) + 12);
        case Fault::crc:
            return message("PNG chunk %s at offset %zu: CRC mismatch", chunk_name(chunk.type).text, chunk.offset);
        case Fault::rule: return rule_message(scan);
        case Fault::header: return header_message(scan.rules.header(), scan.header_status);
        case Fault::none: break;
    }
    return {};
}

// Raises ImageReadError naming the chunk whose data zlib refused, caused by
// zlib's error, which is pending.
void raise_zlib_error(const ReaderState& state, const PngChunk& chunk) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref cause_type = Ref::steal(type), cause = Ref::steal(value), cause_traceback = Ref::steal(traceback);
    if (cause_traceback) PyException_SetTraceback(cause.get(), cause_traceback.get());
    raise_read_error(state, message("PNG chunk %s at offset %zu: invalid zlib data (%S)", chunk_name(chunk.type).text,
                                    chunk.offset, cause.get()));
    if (!PyErr_ExceptionMatches(state.error)) return;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetCause(value, cause.new_reference());
    PyException_SetContext(value, cause.release());
    PyErr_Restore(type, value, traceback);
}

// The scanlines of one pass (the whole image when not interlaced), which
// hold the pixels at columns x0, x0 + dx, ... of rows y0, y0 + dy, ...
struct PngPass {
    uint64_t columns = 0, rows = 0;
    kernels::ScanlineFormat format{};
    // Where its first scanline starts in the inflated stream.
    uint64_t offset = 0;
    uint32_t x0 = 0, y0 = 0, dx = 1, dy = 1;

    bool empty() const noexcept { return columns == 0 || rows == 0; }
};

// The passes of an image: one, or the seven of Adam7 (some of them empty
// in a small image), and the size of all their scanlines.
struct PngPasses {
    PngPass passes[kernels::adam7_pass_count];
    size_t count = 0;
    uint64_t inflated_size = 0;
};

// The passes of `header`'s image; false when its scanlines or its RGB
// pixels would not fit in memory's sizes.
bool png_passes(const PngHeader& header, PngPasses& layout) noexcept {
    uint64_t image_bytes = 0;
    if (!checked_mul(uint64_t{header.width} * 3, uint64_t{header.height}, image_bytes) ||
        image_bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return false;
    }
    if (header.interlace == 0) {
        PngPass& pass = layout.passes[0];
        pass = {header.width, header.height, {}, 0, 0, 0, 1, 1};
        layout.count = 1;
        return kernels::png_scanline_format(header.colour_type, header.bit_depth, header.width, pass.format) &&
               checked_mul(uint64_t{pass.format.row_bytes} + 1, uint64_t{header.height}, layout.inflated_size) &&
               layout.inflated_size <= SIZE_MAX;
    }
    kernels::Adam7Layout adam7;
    if (!kernels::adam7_layout(header.width, header.height, header.colour_type, header.bit_depth, adam7)) return false;
    for (int p = 0; p < kernels::adam7_pass_count; ++p) {
        const kernels::Adam7Pass& grid = kernels::adam7_passes[p];
        const kernels::Adam7PassLayout& pass = adam7.passes[p];
        layout.passes[p] = {pass.columns, pass.rows, pass.format, pass.offset, grid.x0, grid.y0, grid.dx, grid.dy};
    }
    layout.count = kernels::adam7_pass_count;
    layout.inflated_size = adam7.inflated_size;
    return true;
}

// Raw memory that grows, keeping its first bytes.
class GrowingBytes {
public:
    GrowingBytes() noexcept = default;
    GrowingBytes(const GrowingBytes&) = delete;
    GrowingBytes& operator=(const GrowingBytes&) = delete;
    ~GrowingBytes() { PyMem_RawFree(bytes_); }

    // At least `size` bytes; false with MemoryError.
    bool reserve(size_t size, std::span<uint8_t>& out) {
        if (size > size_) {
            void* grown = PyMem_RawRealloc(bytes_, size);
            if (!grown) return PyErr_NoMemory(), false;
            bytes_ = static_cast<uint8_t*>(grown);
            size_ = size;
        }
        out = {bytes_, size};
        return true;
    }

private:
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

// The memory of the passes' row reconstructors: the image, made when the
// first row is reconstructed, and the buffers for split rows and for
// converting, which each pass takes over from the one before.
class PassMemory final : public png::RowMemory {
public:
    explicit PassMemory(uint64_t image_bytes) noexcept : image_bytes_(image_bytes) {}

    // The rows of the pass about to start begin `offset` bytes into the image.
    void start_pass(uint64_t offset) noexcept { pass_offset_ = offset; }

    bool output(size_t size, std::span<uint8_t>& out) override {
        if (!allocated_ && !pixels_.allocate(static_cast<Py_ssize_t>(image_bytes_))) return false;
        allocated_ = true;
        out = {pixels_.data() + pass_offset_, size};
        return true;
    }
    bool carry(size_t size, std::span<uint8_t>& out) override { return carry_.reserve(size, out); }
    bool ring(size_t size, std::span<uint8_t>& out) override { return ring_.reserve(size, out); }

    Ref finish() { return pixels_.finish(); }

private:
    const uint64_t image_bytes_;
    uint64_t pass_offset_ = 0;
    bool allocated_ = false;
    PixelBuffer pixels_;
    GrowingBytes carry_, ring_;
};

// Takes the inflated stream and has each pass's scanlines reconstructed
// into the image as they arrive, by a row reconstructor of its own.
class PassRows final : public InflateSink {
public:
    // With `keep` false the bytes are only counted: the data cannot fill the
    // image, and nothing is allocated for it.
    PassRows(const PngHeader& header, const PngPasses& layout, const RgbPalette& palette, bool keep) noexcept
        : layout_(layout),
          palette_(palette),
          convert_(kernels::png_row_to_rgb(header.colour_type, header.bit_depth)),
          image_row_bytes_(size_t{header.width} * 3),
          keep_(keep),
          rgb_rows_(header.bit_depth == 8 && header.colour_type == png::color_rgb),
          memory_(uint64_t{header.width} * 3 * header.height) {
        skip_empty_passes();
    }

    uint64_t wanted() const noexcept override {
        if (!keep_) return UINT64_MAX;
        return received_ <= layout_.inflated_size ? layout_.inflated_size - received_ + 1 : 1;
    }

    // False after a filter type past 4 (see bad_filter), with MemoryError,
    // or at bytes past the last row.
    bool take(std::span<const uint8_t> output) override {
        received_ += output.size();
        if (!keep_) return true;
        while (!output.empty() && pass_ < layout_.count) {
            const PngPass& pass = layout_.passes[pass_];
            if (!rows_) start_pass(pass);
            const uint64_t pass_bytes = (pass.format.row_bytes + 1) * pass.rows;
            const auto piece = static_cast<size_t>(std::min<uint64_t>(output.size(), pass_bytes - rows_->received()));
            rows_->feed(output.first(piece));
            output = output.subspan(piece);
            if (rows_->status() == RowStatus::unsupported_filter) {
                bad_filter_ = rows_->unsupported_filter_type();
                row_ = rows_->rows_done();
                return false;
            }
            if (rows_->status() != RowStatus::ok) {
                // Memory refused, or a size past size_t.
                if (!PyErr_Occurred()) PyErr_NoMemory();
                return false;
            }
            if (rows_->received() == pass_bytes) {
                rows_.reset();
                ++pass_;
                skip_empty_passes();
            }
        }
        return received_ <= layout_.inflated_size;
    }

    uint64_t received() const noexcept { return received_; }
    // The filter type that stopped reconstruction, or -1.
    int bad_filter() const noexcept { return bad_filter_; }
    // The pass (0 for an image not interlaced) and its row that a bad
    // filter type stopped.
    size_t pass() const noexcept { return pass_; }
    uint64_t row() const noexcept { return row_; }

    // The pass and row that a stream `at` bytes long ends in.
    void locate(uint64_t at, size_t& pass, uint64_t& row) const noexcept {
        pass = 0;
        for (size_t p = 0; p < layout_.count; ++p) {
            if (!layout_.passes[p].empty() && layout_.passes[p].offset <= at) pass = p;
        }
        const PngPass& found = layout_.passes[pass];
        row = std::min((at - found.offset) / (found.format.row_bytes + 1), found.rows - 1);
    }

    // The pixels once every row is in.
    Ref finish() { return memory_.finish(); }

private:
    void skip_empty_passes() noexcept {
        while (pass_ < layout_.count && layout_.passes[pass_].empty()) ++pass_;
    }

    // 8-bit RGB scanlines of a pass that fills whole rows are reconstructed
    // in place; all others are converted, and scattered where the pass
    // skips columns.
    void start_pass(const PngPass& pass) noexcept {
        memory_.start_pass(pass.y0 * image_row_bytes_);
        const bool in_place = rgb_rows_ && pass.dx == 1;
        const png::RowOutput output{image_row_bytes_, in_place ? nullptr : convert_, &palette_, pass.dy, pass.x0,
                                    pass.dx};
        rows_.emplace(pass.format, static_cast<size_t>(pass.rows), output, png::run_rows_at_once(), memory_);
    }

    const PngPasses& layout_;
    const RgbPalette& palette_;
    const kernels::RowToRgb convert_;
    const size_t image_row_bytes_;
    const bool keep_, rgb_rows_;
    PassMemory memory_;
    std::optional<png::RowReconstructor> rows_;
    size_t pass_ = 0;
    uint64_t row_ = 0, received_ = 0;
    int bad_filter_ = -1;
};

// Feeds the IDAT chunks to `inflater` and `rows`, checking each one's CRC:
// 0, or -1 with ImageReadError naming the chunk (or another error).
int inflate_image_data(const ReaderState& state, std::span<const uint8_t> file, Inflater& inflater, PassRows& rows,
                       const PngPasses& layout, PngChunk& last) {
    kernels::PngChunkWalker walker(file);
    PngChunk chunk;
    bool seen = false;
    while (walker.next(chunk) == ChunkStatus::ok) {
        if (!kernels::png_chunk_type_is(chunk, "IDAT")) {
            if (seen) break;
            continue;
        }
        seen = true;
        last = chunk;
        const ChunkName name = chunk_name(chunk.type);
        const int matches = crc_matches(state, chunk.crc_input, chunk.stored_crc);
        if (matches <= 0) {
            return matches < 0 ? -1 : raise_read_error(state, message("PNG chunk %s at offset %zu: CRC mismatch",
                                                                      name.text, chunk.offset));
        }
        if (inflater.done()) continue;
        const int fed = inflater.feed(chunk.data, rows);
        if (fed < 0) {
            if (PyErr_ExceptionMatches(state.zlib_error)) raise_zlib_error(state, chunk);
            return -1;
        }
        if (fed > 0 && rows.bad_filter() >= 0) {
            const auto row = static_cast<unsigned long long>(rows.row());
            if (layout.count == 1) {
                return raise_read_error(state, message("PNG image data: row %llu has filter type %d", row,
                                                       rows.bad_filter()));
            }
            return raise_read_error(state, message("PNG image data: pass %zu row %llu has filter type %d",
                                                   rows.pass() + 1, row, rows.bad_filter()));
        }
        if (fed > 0) {
            return raise_read_error(state, message("PNG chunk %s at offset %zu: the image data goes on past the "
                                                   "image's last row", name.text, chunk.offset));
        }
    }
    return 0;
}

}  // namespace

Ref decode_png(const ReaderState& state, std::span<const uint8_t> file, uint64_t max_pixels) {
    PngScan scan;
    if (scan_png(state, file, scan) < 0) return {};
    if (scan.fault != Fault::none) return raise_read_error(state, scan_message(scan, file)), Ref{};
    const PngHeader& header = scan.rules.header();
    PngPasses layout;
    if (!png_passes(header, layout)) return raise_read_error(state, header_message(header, PngHeaderStatus::ok)), Ref{};
    if (check_pixel_limit(state, "PNG", header.width, header.height, max_pixels) < 0) return {};
    RgbPalette palette;
    const std::span<const uint8_t> entries = scan.rules.palette();
    if (!entries.empty()) std::memcpy(palette.rgb, entries.data(), entries.size());

    // A stream too short to inflate to the image's scanlines keeps nothing:
    // it is inflated only to find where it ends, and the pixels of the size
    // the header claims are never allocated.
    uint64_t most_inflated = 0;
    const bool can_fill = !checked_mul(scan.rules.data_bytes(), deflate_max_expansion, most_inflated) ||
                          most_inflated >= layout.inflated_size;
    PassRows rows(header, layout, palette, can_fill);
    Inflater inflater(state);
    PngChunk last{};
    if (inflater.start() < 0 || inflate_image_data(state, file, inflater, rows, layout, last) < 0) return {};
    if (rows.received() < layout.inflated_size) {
        size_t pass;
        uint64_t row;
        rows.locate(rows.received(), pass, row);
        const auto at = static_cast<unsigned long long>(row);
        if (layout.count == 1) return raise_read_error(state, message("PNG image data ends in row %llu", at)), Ref{};
        return raise_read_error(state, message("PNG image data ends in pass %zu row %llu", pass + 1, at)), Ref{};
    }
    if (!inflater.done()) {
        raise_read_error(state, message("PNG chunk %s at offset %zu: the zlib stream is cut short after the "
                                        "image's last row", chunk_name(last.type).text, last.offset));
        return {};
    }
    Ref buffer = rows.finish();
    if (!buffer) return {};
    return Ref::steal(Py_BuildValue("(IIO)", header.width, header.height, buffer.get()));
}

int probe_png(const ReaderState& state, std::span<const uint8_t> file, ImageFacts& facts) {
    PngScan scan;
    if (scan_png(state, file, scan) < 0) return -1;
    if (!scan.header_read) return raise_read_error(state, scan_message(scan, file));
    const PngHeader& header = scan.rules.header();
    facts.format = "PNG";
    facts.width = header.width;
    facts.height = header.height;
    facts.colour_type = header.colour_type;
    facts.bit_depth = header.bit_depth;
    facts.interlaced = header.interlace != 0;
    facts.palette_size = static_cast<int64_t>(scan.rules.palette().size() / 3);
    facts.has_alpha = header.colour_type == png::color_grey_alpha || header.colour_type == png::color_rgba ||
                      scan.rules.has_transparency();
    facts.open_refusal = kernels::png_open_refusal(file);
    PngPasses layout;
    if (scan.fault != Fault::none) {
        facts.reason = scan_message(scan, file);
    } else if (!png_passes(header, layout)) {
        facts.reason = header_message(header, PngHeaderStatus::ok);
    } else {
        return 0;
    }
    return facts.reason ? 0 : -1;
}

}  // namespace tessarin::reader
