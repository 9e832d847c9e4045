// The forward filters 32 bytes at a time. This file alone is compiled with
// AVX2 enabled; forward_filter.cpp calls it only after asking the processor.
#include <immintrin.h>

#include "kernels/png_forward_filter_steps.hpp"
#include "kernels/png_forward_filter_vector.hpp"

namespace tessarin::png {
namespace {

struct Avx2Bytes {
    using Reg = __m256i;
    using Sums = __m256i;  // four 64-bit lanes
    static constexpr size_t width = 32;

    static Reg load(const uint8_t* from) noexcept { return _mm256_loadu_si256(reinterpret_cast<const Reg*>(from)); }
    static void store(uint8_t* to, Reg bytes) noexcept { _mm256_storeu_si256(reinterpret_cast<Reg*>(to), bytes); }
    static Reg sub8(Reg a, Reg b) noexcept { return _mm256_sub_epi8(a, b); }

    static Reg absolute_difference(Reg x, Reg y) noexcept {
        return _mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x));
    }
    // All ones where x <= y, as unsigned bytes.
    static Reg at_most(Reg x, Reg y) noexcept { return _mm256_cmpeq_epi8(_mm256_min_epu8(x, y), x); }

    // floor((left + up) / 2) of the 9-bit sum: pavgb rounds up, and the low
    // bit of left ^ up is what it added.
    static Reg average(Reg left, Reg up) noexcept {
        const Reg odd = _mm256_and_si256(_mm256_xor_si256(left, up), _mm256_set1_epi8(1));
        return _mm256_sub_epi8(_mm256_avg_epu8(left, up), odd);
    }

    // The Paeth predictor in bytes, without widening: with p = a + b - c,
    // |p - a| = |b - c| and |p - b| = |a - c| fit a byte, and |p - c| is
    // |(b - c) + (a - c)|, the sum of those two when b - c and a - c have the
    // same sign and their difference otherwise. The sum may saturate at 255,
    // which keeps both comparisons with it true, as they are for the exact
    // sum.
    static Reg paeth(Reg a, Reg b, Reg c) noexcept {
        const Reg pa = absolute_difference(b, c);
        const Reg pb = absolute_difference(a, c);
        const Reg same_sign = _mm256_cmpeq_epi8(at_most(c, b), at_most(c, a));
        const Reg pc = _mm256_blendv_epi8(absolute_difference(pa, pb), _mm256_adds_epu8(pa, pb), same_sign);
        const Reg take_a = _mm256_and_si256(at_most(pa, pb), at_most(pa, pc));
        return _mm256_blendv_epi8(_mm256_blendv_epi8(c, b, at_most(pb, pc)), a, take_a);
    }

    static Sums no_sums() noexcept { return _mm256_setzero_si256(); }
    // The magnitudes of the bytes read as signed bytes: abs(-128) stays
    // 0x80, which is 128 unsigned.
    static Sums add_magnitudes(Sums sums, Reg bytes) noexcept {
        return _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_abs_epi8(bytes), _mm256_setzero_si256()));
    }
    static uint64_t total(Sums sums) noexcept {
        const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(half)) + static_cast<uint64_t>(_mm_extract_epi64(half, 1));
    }
};

}  // namespace

size_t filter_row_avx2(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t distance) noexcept {
    return filter_row_vector<Avx2Bytes>(filter_type, row, prev, out, n, distance);
}

size_t filter_candidates_avx2(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n, size_t distance) noexcept {
    return filter_candidates_vector<Avx2Bytes>(row, prev, sub, up, average, paeth, sums, n, distance);
}

}  // namespace tessarin::png
