// PNG files: the chunks walked and judged, then the image data inflated
// into RGB rows; or the headers alone described.
#include <cstdio>
#include <cstring>

#include "kernels/open_subset.hpp"
#include "kernels/png_chunks.hpp"
#include "kernels/png_structure.hpp"
#include "common/checked.hpp"
#include "reader/inflate.hpp"
#include "reader/png_rows.hpp"
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

// Feeds the IDAT chunks to `inflater` and `rows`, checking each one's CRC:
// 0, or -1 with ImageReadError naming the chunk (or another error).
int inflate_image_data(const ReaderState& state, std::span<const uint8_t> file, Inflater& inflater, PngRows& rows,
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
    const uint64_t pixels = uint64_t{header.width} * header.height;
    if (pixels > max_pixels) {
        raise_read_error(state, message("PNG image of %ux%u = %llu pixels is over max_pixels %llu", header.width,
                                        header.height, static_cast<unsigned long long>(pixels),
                                        static_cast<unsigned long long>(max_pixels)));
        return {};
    }
    kernels::RgbPalette palette;
    const std::span<const uint8_t> entries = scan.rules.palette();
    if (!entries.empty()) std::memcpy(palette.rgb, entries.data(), entries.size());

    // A stream too short to inflate to the image's scanlines keeps nothing:
    // it is inflated only to find where it ends, and the pixels of the size
    // the header claims are never allocated.
    uint64_t most_inflated = 0;
    const bool can_fill = !checked_mul(scan.rules.data_bytes(), deflate_max_expansion, most_inflated) ||
                          most_inflated >= layout.inflated_size;
    PngRows rows(header, layout, palette, can_fill);
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
    facts.has_alpha = header.colour_type == kernels::colour_grey_alpha || header.colour_type == kernels::colour_rgba ||
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
