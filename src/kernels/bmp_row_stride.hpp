// The length of a stored BMP row.
#pragma once

#include <cstdint>

namespace tessarin::bmp {

// ((width * 3 + 3) // 4) * 4 with floor division, as unbounded integers
// compute it: 3 * width rounded up to a multiple of 4, and for negative
// widths the matching negative value.
constexpr int64_t row_stride_of(int64_t width) {
    const int64_t numerator = width * 3 + 3;
    const int64_t quotient = numerator / 4 - (numerator % 4 < 0 ? 1 : 0);
    return quotient * 4;
}

static_assert(row_stride_of(1) == 4 && row_stride_of(2) == 8 && row_stride_of(4) == 12 && row_stride_of(0) == 0);
static_assert(row_stride_of(-1) == 0 && row_stride_of(-2) == -4);

}  // namespace tessarin::bmp
