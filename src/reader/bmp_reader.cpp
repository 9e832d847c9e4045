// BMP files: the headers parsed and judged, then the rows or the run-length
// data converted to RGB; a BMP holding a PNG goes to the PNG reader.
#include <algorithm>
#include <cstdio>

#include "kernels/bmp_header.hpp"
#include "kernels/bmp_rle.hpp"
#include "kernels/bmp_rows.hpp"
#include "kernels/open_subset.hpp"
#include "common/pixel_buffer.hpp"
#include "reader/reader.hpp"

namespace tessarin::reader {
namespace {

using bmp::BmpCompression;
using bmp::BmpHeader;
using bmp::BmpStatus;

// Run-length data may describe an image of up to this many pixels, or 1032
// per byte of data (the most deflate expands to, as the PNG reader allows),
// whichever is more: a delta or an end of line or of the bitmap can leave
// any number of pixels at index 0, and a small file claiming a huge image
// must not cost the memory it claims.
constexpr uint64_t rle_pixels_always = uint64_t{1} << 20;
constexpr uint64_t rle_pixels_per_byte = 1032;
// Pixels this many times taller than wide, or wider than tall, are a
// damaged resolution field.
constexpr int32_t max_resolution_ratio = 100;
// Rows are converted in strips of about this many bytes between checks
// for signals.
constexpr uint64_t bytes_between_signal_checks = uint64_t{8} << 20;

bool is_run_length(const BmpHeader& header) noexcept {
    const auto compression = static_cast<BmpCompression>(header.compression);
    return compression == BmpCompression::rle8 || compression == BmpCompression::rle4;
}

const char* run_length_name(const BmpHeader& header) noexcept {
    return static_cast<BmpCompression>(header.compression) == BmpCompression::rle4 ? "RLE4" : "RLE8";
}

Ref masks_message(const BmpHeader& header, const char* fault) {
    const bmp::BmpMasks& masks = header.masks;
    return message("BMP header: colour masks red 0x%x, green 0x%x, blue 0x%x, alpha 0x%x: %s", masks.red,
                   masks.green, masks.blue, masks.alpha, fault);
}

Ref status_message(BmpStatus status, const BmpHeader& header, std::span<const uint8_t> file) {
    const auto width = static_cast<int32_t>(header.width);
    switch (status) {
        case BmpStatus::truncated_header:
            return message("BMP header: the file ends at byte %zu, inside its headers of %zu bytes", file.size(),
                           bmp::bmp_header_bytes_needed(file));
        case BmpStatus::not_bmp: return message("not a BMP file");
        case BmpStatus::unknown_header_size:
            return message("BMP header: header size %u is not one of 12, 16, 40, 52, 56, 64, 108, 124",
                           header.header_size);
        case BmpStatus::bad_planes: return message("BMP header: planes %u is not 1", header.planes);
        case BmpStatus::unknown_compression:
            return message("BMP header: compression %u is not valid", header.compression);
        case BmpStatus::os2_huffman:
            return message("BMP header: OS/2 Huffman 1D compression (3) is not supported");
        case BmpStatus::os2_rle24:
            return message("BMP header: OS/2 24-bit run-length compression (4) is not supported");
        case BmpStatus::jpeg_embedded:
            return message("BMP holds a JPEG image (compression 4), which is not read");
        case BmpStatus::bad_bit_count:
            return message("BMP header: bit count %u is not valid with compression %u", header.bit_count,
                           header.compression);
        case BmpStatus::width_out_of_range: return message("BMP header: width %d is not valid", width);
        case BmpStatus::height_out_of_range:
            return message("BMP header: height %d is not valid", header.stored_height);
        case BmpStatus::compressed_top_down:
            return message("BMP header: %s rows stored top-down (height %d) are not valid", run_length_name(header),
                           header.stored_height);
        case BmpStatus::mask_zero: return masks_message(header, "a colour has none");
        case BmpStatus::mask_not_contiguous: return masks_message(header, "a mask's bits are not contiguous");
        case BmpStatus::masks_overlap: return masks_message(header, "two masks overlap");
        case BmpStatus::mask_outside_pixel: return masks_message(header, "a mask reaches past the pixel's bits");
        case BmpStatus::palette_too_large:
            return message("BMP header: %u colours used is over 65536", header.colours_used);
        case BmpStatus::data_offset_inside_header:
            return message("BMP header: pixel data offset %u lies inside the headers", header.data_offset);
        case BmpStatus::image_too_large:
        case BmpStatus::ok:
        case BmpStatus::png_embedded:
        case BmpStatus::rle_data_ended: break;
    }
    return message("BMP header: %dx%u pixels of %u bits are more than memory can hold", width, header.height,
                   header.bit_count);
}

uint32_t u32_at(std::span<const uint8_t> file, size_t at) noexcept {
    return static_cast<uint32_t>(file[at]) | static_cast<uint32_t>(file[at + 1]) << 8 |
           static_cast<uint32_t>(file[at + 2]) << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
}

// Why the headers' pixel data cannot be read from `file`, in `reason`, or
// nothing there: too little data for the image, a file shorter than its
// headers say, resolutions that no device has. -1 with an error.
int data_fault(const BmpHeader& header, std::span<const uint8_t> file, Ref& reason) {
    const uint64_t available = file.size() > header.pixel_offset ? file.size() - header.pixel_offset : 0;
    const uint32_t file_size = u32_at(file, 2);
    if (is_run_length(header)) {
        const uint64_t pixels = uint64_t{header.width} * header.height;
        if (pixels > std::max(rle_pixels_always, available * rle_pixels_per_byte)) {
            reason = message("BMP %s data of %llu bytes cannot describe %ux%u pixels", run_length_name(header),
                             static_cast<unsigned long long>(available), header.width, header.height);
        }
    } else if (available < header.stored_bytes) {
        const uint64_t stored_row = available / header.row_stride;
        const uint64_t row = header.top_down ? stored_row : header.height - 1 - stored_row;
        reason = message("BMP pixel data ends in row %llu, %llu of its %llu bytes in the file",
                         static_cast<unsigned long long>(row), static_cast<unsigned long long>(available),
                         static_cast<unsigned long long>(header.stored_bytes));
    }
    // Then fields the pixels do not need, but that no intact file has wrong.
    if (reason || PyErr_Occurred()) {
        return reason ? 0 : -1;
    } else if (file_size > file.size()) {
        reason = message("BMP header: file size %u is more than the file's %zu bytes", file_size, file.size());
    } else if (header.image_size > available) {
        reason = message("BMP header: image size %u is more than the %llu bytes from the pixel data on",
                         header.image_size, static_cast<unsigned long long>(available));
    } else if (header.header_size >= 40) {
        const auto across = static_cast<int32_t>(u32_at(file, 38)), down = static_cast<int32_t>(u32_at(file, 42));
        if (across > 0 && down > 0 && std::max(across, down) / max_resolution_ratio > std::min(across, down)) {
            reason = message("BMP header: resolutions of %d and %d pixels per metre across and down differ more "
                             "than %d times", across, down, max_resolution_ratio);
        }
    }
    return reason || !PyErr_Occurred() ? 0 : -1;
}

// The run-length data: the rest of the file, whatever image_size says, as
// Pillow reads it (an image_size past the file's end is refused before).
std::span<const uint8_t> run_length_data(const BmpHeader& header, std::span<const uint8_t> file) {
    if (header.pixel_offset >= file.size()) return {};
    return file.subspan(static_cast<size_t>(header.pixel_offset));
}

// Whether the indices may reach past the palette: fewer entries than the
// bit count can address.
bool palette_is_short(const BmpHeader& header) noexcept {
    return header.bit_count <= 8 && header.palette_entries < (1u << header.bit_count);
}

// Refuses a row of indices that reaches past the palette: 0, or -1 with
// ImageReadError naming the image row.
int check_indices(const ReaderState& state, const BmpHeader& header, std::span<const uint8_t> indices,
                  unsigned bits, uint64_t row) {
    const unsigned largest = bmp::bmp_largest_index(indices, header.width, bits);
    if (largest < header.palette_entries) return 0;
    return raise_read_error(state, message("BMP pixel data: row %llu uses palette index %u, past the palette's %u "
                                           "entries", static_cast<unsigned long long>(row), largest,
                                           header.palette_entries));
}

Ref result(const BmpHeader& header, PixelBuffer& pixels) {
    Ref buffer = pixels.finish();
    if (!buffer) return {};
    return Ref::steal(Py_BuildValue("(IIO)", header.width, header.height, buffer.get()));
}

Ref decode_rows(const ReaderState& state, const BmpHeader& header, std::span<const uint8_t> file) {
    PixelBuffer pixels;
    if (!pixels.allocate(static_cast<Py_ssize_t>(header.rgb_bytes))) return {};
    const bmp::BmpRowConverter converter(header, file);
    const size_t rgb_row = size_t{header.width} * 3, stride = static_cast<size_t>(header.row_stride);
    const uint64_t rows_between_checks = std::max<uint64_t>(1, bytes_between_signal_checks / rgb_row);
    const bool short_palette = palette_is_short(header);
    for (uint64_t i = 0; i < header.height; ++i) {
        const uint64_t row = header.top_down ? i : header.height - 1 - i;
        const auto stored = file.subspan(static_cast<size_t>(header.pixel_offset + i * stride), stride);
        if (short_palette && check_indices(state, header, stored, header.bit_count, row) < 0) return {};
        converter.convert(stored, {pixels.data() + row * rgb_row, rgb_row});
        if ((i + 1) % rows_between_checks == 0 && check_signals(state) < 0) return {};
    }
    return result(header, pixels);
}

Ref decode_run_lengths(const ReaderState& state, const BmpHeader& header, std::span<const uint8_t> file) {
    PixelBuffer pixels;
    if (!pixels.allocate(static_cast<Py_ssize_t>(header.rgb_bytes))) return {};
    // One index per byte into the last third of each RGB row, then each row
    // expanded in place.
    const size_t width = header.width, rgb_row = width * 3;
    const bmp::BmpRleCanvas canvas{{pixels.data() + 2 * width, static_cast<size_t>(header.rgb_bytes) - 2 * width},
                                   rgb_row, width, header.height, true};
    const bool four_bit = static_cast<BmpCompression>(header.compression) == BmpCompression::rle4;
    const bmp::BmpRleResult decoded = bmp::decode_bmp_rle(run_length_data(header, file), four_bit, canvas);
    // Encoded runs cut at the row's end are read as Pillow reads them (some
    // encoders write them); absolute runs and deltas that reach past it
    // are refused. Data that ends early leaves the rest at index 0.
    if (decoded.overflow_row != bmp::bmp_no_row) {
        return raise_read_error(state, message("BMP %s data: a run or delta in row %u reaches past the row's end",
                                               run_length_name(header), decoded.overflow_row)),
               Ref{};
    }
    const bmp::BmpRowConverter converter(header, file);
    const bool short_palette = palette_is_short(header);
    for (size_t row = 0; row < header.height; ++row) {
        uint8_t* const rgb = pixels.data() + row * rgb_row;
        if (short_palette && check_indices(state, header, {rgb + 2 * width, width}, 8, row) < 0) return {};
        converter.convert({rgb + 2 * width, width}, {rgb, rgb_row});
    }
    if (check_signals(state) < 0) return {};
    return result(header, pixels);
}

// The PNG file a BMP holds at data_offset, image_size bytes long (or to the
// file's end), its place for messages and its headers' facts.
struct EmbeddedPng {
    std::span<const uint8_t> file;
    char where[48];
    ImageFacts facts;
};

// Finds the PNG a BMP holds and judges it by its headers and the BMP's:
// why it cannot be read in `reason`, or nothing there. -1 with an error.
int judge_embedded_png(const ReaderState& state, const BmpHeader& header, std::span<const uint8_t> file,
                       EmbeddedPng& png, Ref& reason) {
    std::snprintf(png.where, sizeof png.where, "BMP holds a PNG at offset %u", header.data_offset);
    if (header.data_offset >= file.size()) {
        reason = message("%s, past the file's end", png.where);
    } else {
        const std::span<const uint8_t> rest = file.subspan(header.data_offset);
        png.file = header.image_size != 0 && header.image_size <= rest.size() ? rest.first(header.image_size) : rest;
        if (!has_png_signature(png.file)) {
            reason = message("%s: it does not start with the PNG signature", png.where);
        } else if (probe_png(state, png.file, png.facts) < 0) {
            if (!PyErr_ExceptionMatches(state.error)) return -1;
            prefix_read_error(state, png.where);
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            Ref owned[3] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
            reason = Ref::steal(PyObject_Str(owned[1].get()));
        } else if (png.facts.reason) {
            reason = message("%s: %U", png.where, png.facts.reason.get());
        } else if (png.facts.width != header.width || png.facts.height != header.height) {
            reason = message("%s of %llux%llu pixels, not the %ux%u of the BMP header", png.where,
                             static_cast<unsigned long long>(png.facts.width),
                             static_cast<unsigned long long>(png.facts.height), header.width, header.height);
        }
    }
    return reason || !PyErr_Occurred() ? 0 : -1;
}

Ref decode_embedded_png(const ReaderState& state, const BmpHeader& header, std::span<const uint8_t> file,
                        uint64_t max_pixels) {
    EmbeddedPng png;
    Ref reason;
    if (judge_embedded_png(state, header, file, png, reason) < 0) return {};
    if (reason) return raise_read_error(state, reason), Ref{};
    Ref decoded = decode_png(state, png.file, max_pixels);
    if (!decoded) prefix_read_error(state, png.where);
    return decoded;
}

}  // namespace

Ref decode_bmp(const ReaderState& state, std::span<const uint8_t> file, uint64_t max_pixels) {
    BmpHeader header;
    const BmpStatus status = bmp::parse_bmp_header(file, header);
    if (status == BmpStatus::png_embedded) return decode_embedded_png(state, header, file, max_pixels);
    if (status != BmpStatus::ok) return raise_read_error(state, status_message(status, header, file)), Ref{};
    if (check_pixel_limit(state, "BMP", header.width, header.height, max_pixels) < 0) return {};
    Ref reason;
    if (data_fault(header, file, reason) < 0) return {};
    if (reason) return raise_read_error(state, reason), Ref{};
    return is_run_length(header) ? decode_run_lengths(state, header, file) : decode_rows(state, header, file);
}

int probe_bmp(const ReaderState& state, std::span<const uint8_t> file, ImageFacts& facts) {
    BmpHeader header;
    const BmpStatus status = bmp::parse_bmp_header(file, header);
    if (status == BmpStatus::truncated_header || status == BmpStatus::not_bmp ||
        status == BmpStatus::unknown_header_size) {
        return raise_read_error(state, status_message(status, header, file));
    }
    facts.format = "BMP";
    // Dimensions as stored: signed from the 16-byte header on.
    facts.width = header.header_size == 12 ? int64_t{header.width} : int64_t{static_cast<int32_t>(header.width)};
    facts.height = header.top_down ? -int64_t{header.stored_height} : int64_t{header.stored_height};
    facts.header_size = header.header_size;
    facts.bit_count = header.bit_count;
    facts.compression = header.compression;
    facts.top_down = header.top_down;
    facts.has_alpha = header.masks.alpha != 0;
    facts.open_refusal = kernels::bmp_open_refusal(file);
    if (status == BmpStatus::ok) return data_fault(header, file, facts.reason);
    if (status != BmpStatus::png_embedded) {
        facts.reason = status_message(status, header, file);
        return facts.reason ? 0 : -1;
    }
    EmbeddedPng png;
    if (judge_embedded_png(state, header, file, png, facts.reason) < 0) return -1;
    facts.has_alpha = png.facts.has_alpha;
    return 0;
}

}  // namespace tessarin::reader
