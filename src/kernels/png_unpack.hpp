// Reconstructed PNG scanlines to 8-bit RGB: one converter per colour type
// and bit depth, chosen once before the row loop. Alpha is dropped without
// compositing, greyscale is spread to three channels, samples under 8 bits
// are scaled by bit replication (a 2-bit 1 becomes 85), 16-bit samples are
// cut to their high byte, and a palette index past the palette's end reads
// black. Pure C++ over byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::kernels {

// Shared with the row format table (png_row_formats.hpp), which declares
// them identically; the two copies become one when the trees are joined.
struct RgbPalette { uint8_t rgb[256 * 3] = {}; };  // entries past the file's palette stay black
using RowToRgb = void (*)(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
struct ScanlineFormat { size_t filter_distance; size_t row_bytes; };

// Colour types of the IHDR chunk.
inline constexpr int colour_grey = 0;
inline constexpr int colour_rgb = 2;
inline constexpr int colour_palette = 3;
inline constexpr int colour_grey_alpha = 4;
inline constexpr int colour_rgba = 6;

// Bits per pixel of a valid (colour type, bit depth) pair; 0 for any other.
int png_bits_per_pixel(int colour_type, int bit_depth) noexcept;

// The scanline of a row of `pixels` pixels: the filter distance (bytes per
// pixel, at least 1) and the row's bytes after its filter type byte. False
// for an invalid pair or a row too long for size_t.
bool png_scanline_format(int colour_type, int bit_depth, uint64_t pixels, ScanlineFormat& format) noexcept;

// Each converter writes the rgb.size() / 3 pixels of `rgb` and reads the
// first ceil(pixels * bits per pixel / 8) bytes of `scanline`, which holds
// at least that many. The palette is read by the palette converters alone.
void grey1_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void grey2_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void grey4_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void grey8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void grey16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void rgb16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void palette1_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void palette2_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void palette4_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void palette8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void grey_alpha8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void grey_alpha16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;
void rgba16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept;

// The converter above for a (colour type, bit depth) pair; nullptr for RGB
// and RGBA at 8 bits, which the row reconstructor's own layouts serve, and
// for invalid pairs.
RowToRgb png_unpack_converter(int colour_type, int bit_depth) noexcept;

}  // namespace tessarin::kernels
