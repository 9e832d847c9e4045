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

#include "kernels/png_format.hpp"
#include "kernels/png_row_formats.hpp"

namespace tessarin::kernels {

// Bits per pixel of a valid (colour type, bit depth) pair; 0 for any other.
int png_bits_per_pixel(int colour_type, int bit_depth) noexcept;

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


}  // namespace tessarin::kernels
