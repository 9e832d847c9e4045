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

// Turns `rows` stored BMP rows of `stride` bytes each (`width` pixels of
// blue, green, red, then padding), lying in file order at the start of
// `buffer`, into the RGB pixel rows of 3 * width bytes each, top row first
// and back to back, in the same buffer. The stored rows run from the bottom
// row up when `bottom_up`, else from the top down. `stride` is at least
// 3 * width and `buffer` holds at least rows * stride bytes; the bytes past
// rows * 3 * width are left with no meaning.
void stored_rows_to_rgb_in_place(std::span<uint8_t> buffer, size_t width, size_t rows, size_t stride,
                                 bool bottom_up) noexcept;

}  // namespace tessarin::bmp
