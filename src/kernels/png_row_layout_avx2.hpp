// Row layout kernels built with AVX2 enabled, in a source file of their own.
// Only to be called where simd::avx2_usable().
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Writes the first three bytes of the leading 4-byte pixels of a row of
// `width` as rgba_to_rgb_row does, eight at a time, and returns how many
// pixels it wrote. Each store also writes 8 other bytes into the slots of
// the pixels after; when it returns more than 0 at least three pixels are
// left, and the caller's writing of the rest replaces those bytes. Nothing
// past 3 * width of `rgb` is written.
size_t rgba_to_rgb_leading_avx2(const uint8_t* rgba, uint8_t* rgb, size_t width) noexcept;

}  // namespace tessarin::png
