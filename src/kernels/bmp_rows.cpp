#include "kernels/bmp_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "bmp/pixel_rows.hpp"
#include "kernels/bmp_channel_scale.hpp"

#if defined(TESSARIN_AVX2_KERNELS)
#include "kernels/bmp_rows_avx2.hpp"
#include "simd/avx2.hpp"
#endif
#if defined(TESSARIN_NEON_KERNELS)
#include "kernels/bmp_rows_neon.hpp"
#include "simd/neon.hpp"
#endif

namespace tessarin::bmp {
namespace {

void put_entry(uint8_t* rgb, const BmpRowTables& tables, unsigned index) noexcept {
    std::memcpy(rgb, &tables.palette[4 * index], 3);
}

// 1, 2 or 4 bits per index, the first pixel in the high bits of each byte.
template <unsigned bits>
void palette_packed_row(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    constexpr unsigned per_byte = 8 / bits, index_mask = (1u << bits) - 1;
    for (size_t x = 0; x < width; ++x) {
        const unsigned shift = 8 - bits * (static_cast<unsigned>(x % per_byte) + 1);
        put_entry(rgb + 3 * x, tables, (stored[x / per_byte] >> shift) & index_mask);
    }
}

void palette8_from(const uint8_t* indices, uint8_t* rgb, size_t x, size_t width, const BmpRowTables& tables) noexcept {
    for (; x < width; ++x) put_entry(rgb + 3 * x, tables, indices[x]);
}

unsigned u16_at(const uint8_t* stored, size_t x) noexcept {
    return static_cast<unsigned>(stored[2 * x] | stored[2 * x + 1] << 8);
}

void rgb555_from(const uint8_t* stored, uint8_t* rgb, size_t x, size_t width) noexcept {
    for (; x < width; ++x) {
        const unsigned pixel = u16_at(stored, x);
        rgb[3 * x] = scale5(pixel >> 10 & 31);
        rgb[3 * x + 1] = scale5(pixel >> 5 & 31);
        rgb[3 * x + 2] = scale5(pixel & 31);
    }
}

void rgb565_from(const uint8_t* stored, uint8_t* rgb, size_t x, size_t width) noexcept {
    for (; x < width; ++x) {
        const unsigned pixel = u16_at(stored, x);
        rgb[3 * x] = scale5(pixel >> 11);
        rgb[3 * x + 1] = scale6(pixel >> 5 & 63);
        rgb[3 * x + 2] = scale5(pixel & 31);
    }
}

void bytes32_from(const uint8_t* stored, uint8_t* rgb, size_t x, size_t width, const BmpRowTables& tables) noexcept {
    const uint8_t red = tables.channel_bytes[0], green = tables.channel_bytes[1], blue = tables.channel_bytes[2];
    for (; x < width; ++x) {
        rgb[3 * x] = stored[4 * x + red];
        rgb[3 * x + 1] = stored[4 * x + green];
        rgb[3 * x + 2] = stored[4 * x + blue];
    }
}

// Any masks, read from `bytes`-byte little-endian pixels.
template <size_t bytes>
void fields_row(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    for (size_t x = 0; x < width; ++x) {
        uint32_t pixel = 0;
        for (size_t byte = 0; byte < bytes; ++byte) pixel |= uint32_t{stored[bytes * x + byte]} << (8 * byte);
        for (size_t channel = 0; channel < 3; ++channel) {
            const BmpChannelField& field = tables.fields[channel];
            const uint64_t value = (pixel & field.mask) >> field.shift;
            rgb[3 * x + channel] = static_cast<uint8_t>(value * 255 / field.max);
        }
    }
}

void palette8_row(const uint8_t* indices, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    palette8_from(indices, rgb, 0, width, tables);
}

void rgb555_row(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    rgb555_from(stored, rgb, 0, width);
}

void rgb565_row(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    rgb565_from(stored, rgb, 0, width);
}

void bgr24_row(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    bgr_to_rgb_row({stored, 3 * width}, {rgb, 3 * width}, width);
}

void bytes32_row(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    bytes32_from(stored, rgb, 0, width, tables);
}

// The scalar converters, in BmpRowKind's order.
constexpr BmpRowFunction scalar_rows[] = {
    palette_packed_row<1>, palette_packed_row<2>, palette_packed_row<4>, palette8_row,
    rgb555_row,            rgb565_row,            bgr24_row,             bytes32_row,
    fields_row<2>,         fields_row<3>,         fields_row<4>,
};
static_assert(std::size(scalar_rows) == static_cast<size_t>(BmpRowKind::fields32) + 1);

#if defined(TESSARIN_AVX2_KERNELS)
void palette8_row_avx2(const uint8_t* indices, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    palette8_from(indices, rgb, palette8_leading_avx2(indices, rgb, width, tables.palette.data()), width, tables);
}
void rgb555_row_avx2(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    rgb555_from(stored, rgb, rgb16_leading_avx2(stored, rgb, width, false), width);
}
void rgb565_row_avx2(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    rgb565_from(stored, rgb, rgb16_leading_avx2(stored, rgb, width, true), width);
}
void bytes32_row_avx2(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    bytes32_from(stored, rgb, bytes32_leading_avx2(stored, rgb, width, tables.channel_bytes.data()), width, tables);
}
#endif

#if defined(TESSARIN_NEON_KERNELS)
void palette8_row_neon(const uint8_t* indices, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    palette8_from(indices, rgb, palette8_leading_neon(indices, rgb, width, tables.palette_planes), width, tables);
}
void rgb555_row_neon(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    rgb555_from(stored, rgb, rgb16_leading_neon(stored, rgb, width, false), width);
}
void rgb565_row_neon(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables&) noexcept {
    rgb565_from(stored, rgb, rgb16_leading_neon(stored, rgb, width, true), width);
}
void bytes32_row_neon(const uint8_t* stored, uint8_t* rgb, size_t width, const BmpRowTables& tables) noexcept {
    bytes32_from(stored, rgb, bytes32_leading_neon(stored, rgb, width, tables.channel_bytes.data()), width, tables);
}
#endif

// The vector form of a converter where there is one and it is usable, else
// the scalar one. The 24-bit converter picks its own.
BmpRowFunction row_function(BmpRowKind kind) noexcept {
#if defined(TESSARIN_AVX2_KERNELS)
    if (simd::avx2_usable()) {
        switch (kind) {
            case BmpRowKind::palette8: return palette8_row_avx2;
            case BmpRowKind::rgb555: return rgb555_row_avx2;
            case BmpRowKind::rgb565: return rgb565_row_avx2;
            case BmpRowKind::bytes32: return bytes32_row_avx2;
            default: break;
        }
    }
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable()) {
        switch (kind) {
            case BmpRowKind::palette8: return palette8_row_neon;
            case BmpRowKind::rgb555: return rgb555_row_neon;
            case BmpRowKind::rgb565: return rgb565_row_neon;
            case BmpRowKind::bytes32: return bytes32_row_neon;
            default: break;
        }
    }
#endif
    return scalar_rows[static_cast<size_t>(kind)];
}

bool masks_equal(const BmpMasks& masks, uint32_t red, uint32_t green, uint32_t blue) noexcept {
    return masks.red == red && masks.green == green && masks.blue == blue;
}

// The byte a mask covers whole, or 4 when it covers none exactly.
uint8_t whole_byte_of(uint32_t mask) noexcept {
    for (uint8_t byte = 0; byte < 4; ++byte) {
        if (mask == uint32_t{0xFF} << (8 * byte)) return byte;
    }
    return 4;
}

BmpRowKind kind_of(const BmpHeader& header, const BmpRowTables& tables) noexcept {
    const auto compression = static_cast<BmpCompression>(header.compression);
    if (compression == BmpCompression::rle8 || compression == BmpCompression::rle4) return BmpRowKind::palette8;
    switch (header.bit_count) {
        case 1: return BmpRowKind::palette1;
        case 2: return BmpRowKind::palette2;
        case 4: return BmpRowKind::palette4;
        case 8: return BmpRowKind::palette8;
        case 16:
            if (masks_equal(header.masks, 0x7C00, 0x03E0, 0x001F)) return BmpRowKind::rgb555;
            if (masks_equal(header.masks, 0xF800, 0x07E0, 0x001F)) return BmpRowKind::rgb565;
            return BmpRowKind::fields16;
        case 24:
            return masks_equal(header.masks, 0xFF0000, 0x00FF00, 0x0000FF) ? BmpRowKind::bgr24 : BmpRowKind::fields24;
        default:
            for (const uint8_t byte : tables.channel_bytes) {
                if (byte == 4) return BmpRowKind::fields32;
            }
            return BmpRowKind::bytes32;
    }
}

BmpChannelField field_of(uint32_t mask) noexcept {
    const auto shift = static_cast<uint32_t>(std::countr_zero(mask));
    return {mask, shift, mask >> shift};
}

// Pillow reads a palette whose entries are grey levels from 0 up as grey
// levels, and so an index past its end: see the file comment in the header.
void fill_past_palette(const BmpHeader& header, BmpRowTables& tables) noexcept {
    const uint32_t entries = header.palette_entries;
    auto is_grey_level = [&](uint32_t index) {
        const uint8_t* entry = &tables.palette[4 * index];
        return entry[0] == index && entry[1] == index && entry[2] == index;
    };
    const bool rle4 = header.compression == static_cast<uint32_t>(BmpCompression::rle4);
    if (header.bit_count == 1 && entries == 1 && is_grey_level(0)) {
        std::memset(&tables.palette[4], 0xFF, 3);
    } else if ((header.bit_count == 8 || rle4) && entries >= 3) {
        for (uint32_t index = 0; index < entries; ++index) {
            if (!is_grey_level(index)) return;
        }
        for (uint32_t index = entries; index < 256; ++index) {
            std::memset(&tables.palette[4 * index], static_cast<int>(index), 3);
        }
    }
}

void fill_palette(const BmpHeader& header, std::span<const uint8_t> header_bytes, BmpRowTables& tables) noexcept {
    for (uint32_t index = 0; index < header.palette_entries; ++index) {
        const uint8_t* entry = &header_bytes[header.palette_offset + size_t{index} * header.palette_entry_size];
        tables.palette[4 * index] = entry[2];
        tables.palette[4 * index + 1] = entry[1];
        tables.palette[4 * index + 2] = entry[0];
    }
    fill_past_palette(header, tables);
    for (size_t index = 0; index < 256; ++index) {
        for (size_t channel = 0; channel < 3; ++channel) {
            tables.palette_planes[channel][index] = tables.palette[4 * index + channel];
        }
    }
}

}  // namespace

unsigned bmp_largest_index(std::span<const uint8_t> stored, size_t width, unsigned bits) noexcept {
    if (bits == 8) {
        const auto end = stored.begin() + static_cast<ptrdiff_t>(width);
        return width == 0 ? 0 : *std::max_element(stored.begin(), end);
    }
    const unsigned per_byte = 8 / bits, index_mask = (1u << bits) - 1;
    unsigned largest = 0;
    for (size_t x = 0; x < width; ++x) {
        const unsigned shift = 8 - bits * (static_cast<unsigned>(x % per_byte) + 1);
        largest = std::max(largest, (stored[x / per_byte] >> shift) & index_mask);
    }
    return largest;
}

BmpRowConverter::BmpRowConverter(const BmpHeader& header, std::span<const uint8_t> header_bytes) noexcept
    : width_(header.width) {
    if (header.bit_count <= 8) {
        fill_palette(header, header_bytes, tables_);
    } else {
        const BmpMasks& masks = header.masks;
        tables_.fields = {field_of(masks.red), field_of(masks.green), field_of(masks.blue)};
        tables_.channel_bytes = {whole_byte_of(masks.red), whole_byte_of(masks.green), whole_byte_of(masks.blue)};
    }
    kind_ = kind_of(header, tables_);
    row_ = row_function(kind_);
}

}  // namespace tessarin::bmp
