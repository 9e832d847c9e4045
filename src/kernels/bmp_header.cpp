#include "kernels/bmp_header.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "common/checked.hpp"

namespace tessarin::bmp {
namespace {

constexpr size_t file_header_size = 14;
// Pillow's bound on a palette's declared size; files past it are refused.
constexpr uint32_t max_colours_used = 65536;

uint16_t u16_at(std::span<const uint8_t> bytes, size_t at) noexcept {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t u32_at(std::span<const uint8_t> bytes, size_t at) noexcept {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

bool known_header_size(uint32_t size) noexcept {
    constexpr std::array<uint32_t, 8> sizes{12, 16, 40, 52, 56, 64, 108, 124};
    return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

// OS/2 2.x headers (16 and 64 bytes) give compression values 3 and 4 other
// meanings; the 12-byte header has no compression field.
BmpStatus check_compression(uint32_t header_size, uint32_t compression) noexcept {
    const bool os2 = header_size == 16 || header_size == 64;
    if (os2 && compression == 3) return BmpStatus::os2_huffman;
    if (os2 && compression == 4) return BmpStatus::os2_rle24;
    if (compression > (os2 ? 2u : 6u)) return BmpStatus::unknown_compression;
    if (compression == static_cast<uint32_t>(BmpCompression::jpeg)) return BmpStatus::jpeg_embedded;
    if (compression == static_cast<uint32_t>(BmpCompression::png)) return BmpStatus::png_embedded;
    return BmpStatus::ok;
}

bool bit_count_allowed(BmpCompression compression, uint16_t bits) noexcept {
    switch (compression) {
        case BmpCompression::rgb:
            return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
        case BmpCompression::rle8: return bits == 8;
        case BmpCompression::rle4: return bits == 4;
        case BmpCompression::bitfields:
        case BmpCompression::alpha_bitfields: return bits == 16 || bits == 24 || bits == 32;
        default: return false;
    }
}

BmpMasks default_masks(uint16_t bits) noexcept {
    if (bits == 16) return {0x7C00, 0x03E0, 0x001F, 0};
    if (bits == 24 || bits == 32) return {0xFF0000, 0x00FF00, 0x0000FF, 0};
    return {};
}

BmpStatus check_masks(const BmpMasks& masks, uint16_t bits) noexcept {
    if (masks.red == 0 || masks.green == 0 || masks.blue == 0) return BmpStatus::mask_zero;
    const std::array<uint32_t, 4> all{masks.red, masks.green, masks.blue, masks.alpha};
    uint32_t seen = 0;
    for (const uint32_t mask : all) {
        if (mask == 0) continue;
        if (bits < 32 && (mask >> bits) != 0) return BmpStatus::mask_outside_pixel;
        const uint32_t run = mask >> std::countr_zero(mask);
        if ((run & (run + 1)) != 0) return BmpStatus::mask_not_contiguous;
        if ((seen & mask) != 0) return BmpStatus::masks_overlap;
        seen |= mask;
    }
    return BmpStatus::ok;
}

// The parse, recording in `needed` how many bytes it asked for; a parse
// that runs out of bytes stops with truncated_header.
class HeaderReader {
public:
    explicit HeaderReader(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}

    BmpStatus read(BmpHeader& header) noexcept;
    size_t needed() const noexcept { return needed_; }

private:
    bool has(uint64_t count) noexcept {
        needed_ = std::max(needed_, static_cast<size_t>(count));
        return count <= bytes_.size();
    }
    BmpStatus read_fields(BmpHeader& header) noexcept;
    BmpStatus read_masks(BmpHeader& header, uint32_t& bytes_after_header) noexcept;
    BmpStatus place_palette_and_pixels(BmpHeader& header) noexcept;

    std::span<const uint8_t> bytes_;
    size_t needed_ = 0;
};

BmpStatus HeaderReader::read(BmpHeader& header) noexcept {
    if (!has(2)) return BmpStatus::truncated_header;
    if (bytes_[0] != 'B' || bytes_[1] != 'M') return BmpStatus::not_bmp;
    if (!has(file_header_size + 4)) return BmpStatus::truncated_header;
    header.data_offset = u32_at(bytes_, 10);
    header.header_size = u32_at(bytes_, 14);
    if (!known_header_size(header.header_size)) return BmpStatus::unknown_header_size;
    if (!has(file_header_size + header.header_size)) return BmpStatus::truncated_header;
    if (const BmpStatus status = read_fields(header); status != BmpStatus::ok) return status;

    const auto compression = static_cast<BmpCompression>(header.compression);
    if (!bit_count_allowed(compression, header.bit_count)) return BmpStatus::bad_bit_count;
    const bool run_lengths = compression == BmpCompression::rle8 || compression == BmpCompression::rle4;
    if (run_lengths && header.top_down) return BmpStatus::compressed_top_down;
    uint32_t mask_bytes = 0;
    if (const BmpStatus status = read_masks(header, mask_bytes); status != BmpStatus::ok) return status;
    header.palette_offset = static_cast<uint32_t>(file_header_size) + header.header_size + mask_bytes;
    header.palette_entry_size = header.header_size == 12 ? 3 : 4;
    if (const BmpStatus status = place_palette_and_pixels(header); status != BmpStatus::ok) return status;

    // Sizes must fit a signed 64-bit count (Py_ssize_t, ptrdiff_t), which
    // the widest and tallest images the fields can describe do not.
    const int64_t width = header.width, height = header.height;
    int64_t row_bits = 0, stored = 0, rgb_row = 0, rgb = 0;
    if (!checked_mul(width, int64_t{header.bit_count}, row_bits)) return BmpStatus::image_too_large;
    const int64_t stride = (row_bits + 31) / 32 * 4;
    if (!checked_mul(stride, height, stored) || !checked_mul(width, int64_t{3}, rgb_row) ||
        !checked_mul(rgb_row, height, rgb)) {
        return BmpStatus::image_too_large;
    }
    header.row_stride = static_cast<uint64_t>(stride);
    header.stored_bytes = static_cast<uint64_t>(stored);
    header.rgb_bytes = static_cast<uint64_t>(rgb);
    return BmpStatus::ok;
}

// Width, height, planes, bit count and, from 40 bytes on, compression, the
// pixel data's size and the colours used.
BmpStatus HeaderReader::read_fields(BmpHeader& header) noexcept {
    if (header.header_size == 12) {
        header.width = u16_at(bytes_, 18);
        header.stored_height = u16_at(bytes_, 20);
        header.planes = u16_at(bytes_, 22);
        header.bit_count = u16_at(bytes_, 24);
    } else {
        header.width = u32_at(bytes_, 18);
        header.stored_height = static_cast<int32_t>(u32_at(bytes_, 22));
        header.planes = u16_at(bytes_, 26);
        header.bit_count = u16_at(bytes_, 28);
    }
    if (header.header_size >= 40) {
        header.compression = u32_at(bytes_, 30);
        header.image_size = u32_at(bytes_, 34);
        header.colours_used = u32_at(bytes_, 46);
    }
    header.top_down = header.stored_height < 0;
    if (header.stored_height != INT32_MIN) {
        header.height = static_cast<uint32_t>(header.top_down ? -header.stored_height : header.stored_height);
    }
    if (header.planes != 1) return BmpStatus::bad_planes;
    if (const BmpStatus status = check_compression(header.header_size, header.compression); status != BmpStatus::ok) {
        return status;
    }
    if (header.width == 0 || header.width > INT32_MAX) return BmpStatus::width_out_of_range;
    if (header.height == 0) return BmpStatus::height_out_of_range;
    return BmpStatus::ok;
}

// The masks of BITFIELDS and ALPHABITFIELDS: in the header from 52 bytes
// on (alpha from 56), else in the 12 or 16 bytes after a 40-byte header.
BmpStatus HeaderReader::read_masks(BmpHeader& header, uint32_t& bytes_after_header) noexcept {
    const auto compression = static_cast<BmpCompression>(header.compression);
    header.masks = default_masks(header.bit_count);
    if (compression != BmpCompression::bitfields && compression != BmpCompression::alpha_bitfields) {
        return BmpStatus::ok;
    }
    const bool with_alpha = header.header_size >= 56 ||
                            (header.header_size == 40 && compression == BmpCompression::alpha_bitfields);
    if (header.header_size == 40) {
        bytes_after_header = with_alpha ? 16 : 12;
        if (!has(file_header_size + 40 + bytes_after_header)) return BmpStatus::truncated_header;
    }
    constexpr size_t masks_at = file_header_size + 40;
    const BmpMasks masks{u32_at(bytes_, masks_at), u32_at(bytes_, masks_at + 4), u32_at(bytes_, masks_at + 8),
                         with_alpha ? u32_at(bytes_, masks_at + 12) : 0};
    if ((masks.red | masks.green | masks.blue | masks.alpha) == 0) return BmpStatus::ok;
    header.masks = masks;
    return check_masks(masks, header.bit_count);
}

BmpStatus HeaderReader::place_palette_and_pixels(BmpHeader& header) noexcept {
    const auto compression = static_cast<BmpCompression>(header.compression);
    const bool indexed = header.bit_count <= 8 && compression != BmpCompression::bitfields &&
                         compression != BmpCompression::alpha_bitfields;
    uint64_t declared = 0;
    if (indexed) {
        if (header.colours_used > max_colours_used) return BmpStatus::palette_too_large;
        declared = header.colours_used != 0 ? header.colours_used : uint64_t{1} << header.bit_count;
    }
    const uint64_t palette_offset = header.palette_offset;
    const bool follows_palette = header.data_offset == 0 ||
                                 (indexed && header.data_offset == file_header_size + header.header_size);
    header.pixel_offset = follows_palette ? palette_offset + declared * header.palette_entry_size : header.data_offset;
    if (header.pixel_offset < palette_offset) return BmpStatus::data_offset_inside_header;
    if (!indexed) return BmpStatus::ok;
    const uint64_t room = (header.pixel_offset - palette_offset) / header.palette_entry_size;
    header.palette_entries = static_cast<uint32_t>(std::min({declared, uint64_t{1} << header.bit_count, room}));
    if (!has(palette_offset + uint64_t{header.palette_entries} * header.palette_entry_size)) {
        return BmpStatus::truncated_header;
    }
    return BmpStatus::ok;
}

}  // namespace

size_t bmp_header_bytes_needed(std::span<const uint8_t> prefix) noexcept {
    BmpHeader header;
    HeaderReader reader(prefix);
    reader.read(header);
    return reader.needed();
}

BmpStatus parse_bmp_header(std::span<const uint8_t> bytes, BmpHeader& header) noexcept {
    header = BmpHeader{};
    return HeaderReader(bytes).read(header);
}

}  // namespace tessarin::bmp
