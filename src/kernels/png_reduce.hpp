// Smaller PNG colour types for an RGB image that loses nothing by them: a
// greyscale image (red, green and blue equal in every pixel) as greyscale
// samples at the smallest bit depth whose bit replication gives back every
// grey value, an image of at most 256 colours as palette indices, each
// packed into rows of 1, 2, 4 or 8 bits a pixel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::png {

inline constexpr size_t max_palette_size = 256;

// What the pixels of an RGB image allow.
struct ColourSummary {
    bool grey = false;
    // For a grey image, the smallest bit depth (1, 2, 4 or 8) at which every
    // grey value v is v >> (8 - depth) spread back to 8 bits by bit
    // replication.
    int grey_depth = 8;
    // The number of distinct colours, counted up to max_palette_size + 1.
    size_t colour_count = 0;
    // For at most max_palette_size colours, the first colour_count entries
    // are the colours as 0xRRGGBB, ascending.
    std::array<uint32_t, max_palette_size> colours{};
};

// The summary of `pixels`: red, green, blue, pixel after pixel. A grey
// image is read once; other images until their colours are counted past
// max_palette_size.
ColourSummary summarise_colours(std::span<const uint8_t> pixels) noexcept;

// A colour type and bit depth of the PNG format that holds the image
// exactly: greyscale, palette, or 8-bit RGB when neither does.
struct ReducedFormat {
    int colour_type;
    int bit_depth;
};

// The format for an image of this summary: greyscale where its depth is no
// more than a palette's, otherwise a palette of its colours where there are
// few enough, otherwise RGB.
ReducedFormat reduced_format(const ColourSummary& summary) noexcept;

// The bit depth that indices into a palette of `count` entries need.
int palette_depth(size_t count) noexcept;

// The bytes of one row of `width` samples of `bit_depth` bits (1, 2, 4 or 8),
// the last byte's unused low bits zero. `width` is at most 2^31 - 1, so
// this cannot overflow.
constexpr size_t packed_row_bytes(size_t width, int bit_depth) noexcept {
    return (width * static_cast<size_t>(bit_depth) + 7) / 8;
}

// Packs the rows of a grey image of `width` pixels a row (`pixels` whole
// RGB rows) into samples of `bit_depth` bits, each the top bits of its
// red byte. `out` holds packed_row_bytes(width, bit_depth) bytes a row.
void pack_grey_rows(std::span<const uint8_t> pixels, size_t width, int bit_depth, std::span<uint8_t> out) noexcept;

// Packs the rows of an image of `width` pixels a row into indices of
// `bit_depth` bits into `palette` (0xRRGGBB entries, ascending, holding
// every colour of the image, at most 2^bit_depth of them). `out` as for
// pack_grey_rows.
void pack_palette_rows(std::span<const uint8_t> pixels, size_t width, int bit_depth,
                       std::span<const uint32_t> palette, std::span<uint8_t> out) noexcept;

// Whether every index in rows of `width` indices of `bit_depth` bits,
// packed as pack_palette_rows packs them, is below `entries`.
bool indices_below(std::span<const uint8_t> rows, size_t width, int bit_depth, size_t entries) noexcept;

}  // namespace tessarin::png
