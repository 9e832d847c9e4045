// BMP pixel rows: blue-green-red with zero padding, to and from red-green-blue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::bmp {

// Reverses the channel order of `width` 3-byte pixels from `bgr` into `rgb`.
// Both hold at least 3 * width bytes; bytes of `bgr` past that (row padding)
// are not read.
void bgr_to_rgb_row(std::span<const uint8_t> bgr, std::span<uint8_t> rgb, size_t width) noexcept;

// Writes one BMP row: `width` pixels of `rgb` as blue, green, red, then zero
// bytes up to `out.size()` (the row stride, at least 3 * width).
void rgb_to_bgr_padded_row(std::span<const uint8_t> rgb, std::span<uint8_t> out,
                           size_t width) noexcept;

}  // namespace tessarin::bmp
