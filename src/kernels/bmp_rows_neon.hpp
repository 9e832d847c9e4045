// BMP row converters with NEON (aarch64 builds), in a source file of their
// own. Each converts the leading pixels of a row, 16 at a time, writes
// nothing past them, and returns how many it wrote.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessarin::bmp {

// Palette indices to RGB through one 256-entry table per channel. `indices`
// may begin 2 * width bytes into `rgb`: every step reads its indices before
// it stores, and stores nothing over indices to come.
size_t palette8_leading_neon(const uint8_t* indices, uint8_t* rgb, size_t width,
                             const std::array<std::array<uint8_t, 256>, 3>& planes) noexcept;

// 4-byte pixels to RGB, taking red, green and blue from the bytes
// `channel_bytes` names.
size_t bytes32_leading_neon(const uint8_t* stored, uint8_t* rgb, size_t width,
                            const uint8_t* channel_bytes) noexcept;

// 2-byte pixels, 5-5-5 or (green_6_bits) 5-6-5, to RGB, each channel
// scaled as floor(value * 255 / max).
size_t rgb16_leading_neon(const uint8_t* stored, uint8_t* rgb, size_t width, bool green_6_bits) noexcept;

}  // namespace tessarin::bmp
