// Row layout of PNG image data: pixel rows to filter-0 scanlines and
// reconstructed RGBA rows to RGB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::png {

// Writes `rows` scanlines of filter type 0: for each row one zero byte, then
// `row_bytes` bytes taken from `pixels`. `pixels` holds at least
// rows * row_bytes bytes and `raw` exactly rows * (row_bytes + 1) bytes.
void layout_filter_none(std::span<const uint8_t> pixels, size_t row_bytes, size_t rows,
                        std::span<uint8_t> raw) noexcept;

// Copies the first three bytes of each 4-byte pixel: `rgba` holds at least
// 4 * width bytes and `rgb` at least 3 * width.
void rgba_to_rgb_row(std::span<const uint8_t> rgba, std::span<uint8_t> rgb, size_t width) noexcept;

}  // namespace tessarin::png
