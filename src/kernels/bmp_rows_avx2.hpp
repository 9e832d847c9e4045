// BMP row converters built with AVX2 enabled, in a source file of their
// own. Only to be called where simd::avx2_usable(). Each converts the
// leading pixels of a row, 8 at a time, and returns how many it wrote; at
// least 3 pixels are left for the caller's scalar code, since each store
// writes 8 bytes past its 8 pixels, which the following pixels replace.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::bmp {

// Palette indices to RGB through `palette` (4 bytes per index: red, green,
// blue, 0). `indices` may begin 2 * width bytes into `rgb`: every step reads
// its indices before it stores, and stores nothing over indices to come.
size_t palette8_leading_avx2(const uint8_t* indices, uint8_t* rgb, size_t width, const uint8_t* palette) noexcept;

// 4-byte pixels to RGB, taking red, green and blue from the bytes
// `channel_bytes` names.
size_t bytes32_leading_avx2(const uint8_t* stored, uint8_t* rgb, size_t width,
                            const uint8_t* channel_bytes) noexcept;

// 2-byte pixels, 5-5-5 or (green_6_bits) 5-6-5, to RGB, each channel
// scaled as floor(value * 255 / max).
size_t rgb16_leading_avx2(const uint8_t* stored, uint8_t* rgb, size_t width, bool green_6_bits) noexcept;

}  // namespace tessarin::bmp
