// Swapping the outer channels of 3-byte pixels with one byte shuffle per five
// pixels. This file alone is compiled with AVX2 enabled; pixel_rows.cpp calls
// it only after asking the processor.
#include "kernels/bmp_pixel_rows_avx2.hpp"

#include <immintrin.h>

namespace tessarin::bmp {

size_t swap_outer_channels_leading_avx2(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    // Sixteen bytes at a time: five pixels, swapped, and the first byte of
    // the sixth as it is, which the next store or the caller rewrites. Each
    // step's load comes before the previous step's store, so that in place
    // no load waits for a store that overlaps it.
    const __m128i swap = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    const size_t n = 3 * width;
    if (n < 16) return 0;
    size_t at = 0;
    __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    for (; at + 31 <= n; at += 15) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at + 15));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), _mm_shuffle_epi8(pixels, swap));
        pixels = next;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), _mm_shuffle_epi8(pixels, swap));
    return (at + 15) / 3;
}

}  // namespace tessarin::bmp
