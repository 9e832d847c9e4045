// PNG row formats as a table keyed by (colour type, bit depth): the layout
// of a scanline, and the converter of a reconstructed scanline to 8-bit RGB,
// chosen once before the row loop and kept apart from reconstruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::kernels {

// Up to 256 palette entries as RGB triples; entries past the file's palette stay black, so an index past its end reads zeros.
struct RgbPalette { uint8_t rgb[256 * 3] = {}; };

// Converts one reconstructed scanline into rgb.size() / 3 pixels of 8-bit RGB.
using RowToRgb = void (*)(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;

struct ScanlineFormat { size_t filter_distance; size_t row_bytes; };  // row_bytes excludes the filter-type byte

// The converter for a PNG (colour type, bit depth), or nullptr when the pair is not valid PNG.
RowToRgb png_row_to_rgb(int colour_type, int bit_depth) noexcept;

// The scanline format of `width` pixels of that colour type and depth; false when the size overflows.
bool png_scanline_format(int colour_type, int bit_depth, uint64_t width, ScanlineFormat& format) noexcept;

}  // namespace tessarin::kernels
