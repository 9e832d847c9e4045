// The forward filter kernels with vector instructions, each in a source file
// of its own: AVX2 (x86-64 builds, only to be called where
// simd::avx2_usable()) and NEON (aarch64 builds). All take rows of more than
// one pixel of `distance` bytes (3 for RGB, 1 for greyscale and palette
// indices) whose row above holds as many, start at byte `distance` and
// return the index of the first byte they left to the caller. The steps
// they share are in forward_filter_steps.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Bytes `distance` up to the returned index of an n-byte row filtered with
// `filter_type` (1 to 4), as filter_row filters them.
size_t filter_row_avx2(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t distance) noexcept;
size_t filter_row_neon(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t distance) noexcept;

// Bytes `distance` up to the returned index of all four filtered rows, as
// filter_row_candidates makes them, and their magnitudes added to `sums`
// (None, Sub, Up, Average, Paeth).
size_t filter_candidates_avx2(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n, size_t distance) noexcept;
size_t filter_candidates_neon(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n, size_t distance) noexcept;

}  // namespace tessarin::png
