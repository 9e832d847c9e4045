// The vector forms of the Adam7 scatter, AVX2 (x86-64, in a library built
// with AVX2 enabled) and NEON (aarch64). Only adam7.cpp calls them, after
// asking simd::avx2_usable() or simd::neon_usable().
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::kernels {

// Places the leading pixels of a pass row of `columns` 3-byte pixels at
// every other pixel of `image`, from its first, as adam7_scatter_rgb does,
// and returns how many it placed; the caller places the rest. Reads and
// writes back the pixels in between, within the first `image_bytes` bytes
// of `image`.
size_t scatter_pairs_leading_avx2(const uint8_t* pass_rgb, uint8_t* image, size_t columns,
                                  size_t image_bytes) noexcept;
size_t scatter_pairs_leading_neon(const uint8_t* pass_rgb, uint8_t* image, size_t columns,
                                  size_t image_bytes) noexcept;

}  // namespace tessarin::kernels
