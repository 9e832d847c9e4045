// The forward filter kernels with NEON (aarch64 builds), in a source file of
// their own. Only to be called on rows of more than 3 bytes (one RGB pixel)
// whose row above holds as many.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Filters bytes 3 up to the returned index of an n-byte row with
// `filter_type` (1 to 4), 16 at a time, as filter_row does; the caller
// filters the rest.
size_t filter_row_neon(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n) noexcept;

// Bytes 3 up to the returned index of all four filtered rows, as
// filter_row_candidates makes them, and their magnitudes added to `sums`
// (None, Sub, Up, Average, Paeth).
size_t filter_candidates_neon(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n) noexcept;

}  // namespace tessarin::png
