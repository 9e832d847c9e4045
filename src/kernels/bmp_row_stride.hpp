// The length of a stored BMP row.
#pragma once

#include <cstdint>

namespace tessarin::bmp {

// The bytes a row of `width` pixels of `bits_per_pixel` bits takes, padded to
// whole 32-bit words: ((width * bits_per_pixel + 31) // 32) * 4 with floor
// division, as unbounded integers compute it, so that a negative width gives
// the matching negative value. `width` is the format's signed 32-bit field
// and `bits_per_pixel` at most 32: nothing here can overflow.
constexpr int64_t row_stride_of(int64_t width, int bits_per_pixel) {
    const int64_t numerator = width * bits_per_pixel + 31;
    const int64_t quotient = numerator / 32 - (numerator % 32 < 0 ? 1 : 0);
    return quotient * 4;
}

static_assert(row_stride_of(1, 24) == 4 && row_stride_of(2, 24) == 8 && row_stride_of(4, 24) == 12 &&
              row_stride_of(0, 24) == 0);
static_assert(row_stride_of(-1, 24) == 0 && row_stride_of(-2, 24) == -4);
static_assert(row_stride_of(33, 1) == 8 && row_stride_of(7, 4) == 4 && row_stride_of(3, 32) == 12);

}  // namespace tessarin::bmp
