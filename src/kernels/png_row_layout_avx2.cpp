// Dropping alpha with one byte shuffle per eight pixels. This file alone is
// compiled with AVX2 enabled; row_layout.cpp calls it only after asking the
// processor.
#include "kernels/png_row_layout_avx2.hpp"

#include <immintrin.h>

namespace tessarin::png {

size_t rgba_to_rgb_leading_avx2(const uint8_t* rgba, uint8_t* rgb, size_t width) noexcept {
    // Per 128-bit half, four pixels' first three bytes to its low 12 bytes;
    // then the two halves' 12 bytes side by side. Each 32-byte store runs 8
    // bytes into the next pixels, which the next store or the caller
    // rewrites.
    const __m256i keep_colour = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                                 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join_halves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t x = 0;
    for (; x + 11 <= width; x += 8) {
        const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rgba + 4 * x));
        const __m256i colour = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pixels, keep_colour), join_halves);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgb + 3 * x), colour);
    }
    return x;
}

}  // namespace tessarin::png
