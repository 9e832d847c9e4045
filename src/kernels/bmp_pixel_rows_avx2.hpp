// BMP row kernels built with AVX2 enabled (for its SSSE3 byte shuffle), in a
// source file of their own. Only to be called where simd::avx2_usable().
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::bmp {

// Swaps the first and third byte of the leading 3-byte pixels of a row of
// `width`, five at a time, reading nothing of `src` past 3 * width, and
// returns how many pixels it wrote. Each store also writes the first byte of
// the pixel after, unswapped; when it returns more than 0 at least one pixel
// is left, and the caller's writing of the rest replaces that byte. Each
// step loads its bytes before it stores and stores none past them, so `dst`
// may be `src` or lie before it.
size_t swap_outer_channels_leading_avx2(const uint8_t* src, uint8_t* dst, size_t width) noexcept;

}  // namespace tessarin::bmp
