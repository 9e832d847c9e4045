// Forward filters 32 bytes at a time. Every prediction reads only original
// bytes, so nothing is carried from one step to the next. This file alone is
// compiled with AVX2 enabled; forward_filter.cpp calls it only after asking
// the processor.
#include "png/forward_filter_avx2.hpp"

#include <immintrin.h>

#include "png/format.hpp"

namespace tessarin::png {
namespace {

constexpr size_t pixel_bytes = 3;
constexpr size_t step = 32;

// The byte and its three neighbours at byte i of a row: left (a), up (b)
// and upper left (c).
struct Neighbours {
    __m256i byte, left, up, up_left;
};

Neighbours load(const uint8_t* row, const uint8_t* prev, size_t i) noexcept {
    const auto at = [](const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); };
    return {at(row + i), at(row + i - pixel_bytes), at(prev + i), at(prev + i - pixel_bytes)};
}

void store(uint8_t* out, size_t i, __m256i bytes) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
}

__m256i absolute_difference(__m256i x, __m256i y) noexcept {
    return _mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x));
}

// All ones where x <= y, as unsigned bytes.
__m256i at_most(__m256i x, __m256i y) noexcept { return _mm256_cmpeq_epi8(_mm256_min_epu8(x, y), x); }

// floor((left + up) / 2) of the 9-bit sum: pavgb rounds up, and the low bit
// of left ^ up is what it added.
__m256i average_prediction(__m256i left, __m256i up) noexcept {
    const __m256i odd = _mm256_and_si256(_mm256_xor_si256(left, up), _mm256_set1_epi8(1));
    return _mm256_sub_epi8(_mm256_avg_epu8(left, up), odd);
}

// The Paeth predictor in bytes, without widening: with p = a + b - c,
// |p - a| = |b - c| and |p - b| = |a - c| fit a byte, and |p - c| is
// |(b - c) + (a - c)|, the sum of those two when b - c and a - c have the
// same sign and their difference otherwise. The sum may saturate at 255,
// which keeps both comparisons with it true, as they are for the exact sum.
__m256i paeth_prediction(__m256i a, __m256i b, __m256i c) noexcept {
    const __m256i pa = absolute_difference(b, c);
    const __m256i pb = absolute_difference(a, c);
    const __m256i b_from_c_up = at_most(c, b);
    const __m256i a_from_c_up = at_most(c, a);
    const __m256i same_sign = _mm256_cmpeq_epi8(b_from_c_up, a_from_c_up);
    const __m256i pc = _mm256_blendv_epi8(absolute_difference(pa, pb), _mm256_adds_epu8(pa, pb), same_sign);
    const __m256i take_a = _mm256_and_si256(at_most(pa, pb), at_most(pa, pc));
    const __m256i b_or_c = _mm256_blendv_epi8(c, b, at_most(pb, pc));
    return _mm256_blendv_epi8(b_or_c, a, take_a);
}

__m256i filtered(int filter_type, const Neighbours& n) noexcept {
    switch (filter_type) {
        case filter_sub:
            return _mm256_sub_epi8(n.byte, n.left);
        case filter_up:
            return _mm256_sub_epi8(n.byte, n.up);
        case filter_average:
            return _mm256_sub_epi8(n.byte, average_prediction(n.left, n.up));
        default:
            return _mm256_sub_epi8(n.byte, paeth_prediction(n.left, n.up, n.up_left));
    }
}

// Adds the magnitudes of 32 filtered bytes, read as signed bytes, to four
// 64-bit lanes. abs(-128) stays 0x80, which is 128 unsigned.
__m256i add_magnitudes(__m256i sums, __m256i bytes) noexcept {
    return _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_abs_epi8(bytes), _mm256_setzero_si256()));
}

uint64_t lanes_total(__m256i sums) noexcept {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(half)) + static_cast<uint64_t>(_mm_extract_epi64(half, 1));
}

template <int FilterType>
size_t filter_row_steps(const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    size_t i = pixel_bytes;
    for (; i + step <= n; i += step) store(out, i, filtered(FilterType, load(row, prev, i)));
    return i;
}

}  // namespace

size_t filter_row_avx2(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    switch (filter_type) {
        case filter_sub:
            return filter_row_steps<filter_sub>(row, prev, out, n);
        case filter_up:
            return filter_row_steps<filter_up>(row, prev, out, n);
        case filter_average:
            return filter_row_steps<filter_average>(row, prev, out, n);
        default:
            return filter_row_steps<filter_paeth>(row, prev, out, n);
    }
}

size_t filter_candidates_avx2(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n) noexcept {
    __m256i totals[5] = {};
    size_t i = pixel_bytes;
    for (; i + step <= n; i += step) {
        const Neighbours neighbours = load(row, prev, i);
        const __m256i types[4] = {filtered(filter_sub, neighbours), filtered(filter_up, neighbours),
                                  filtered(filter_average, neighbours), filtered(filter_paeth, neighbours)};
        uint8_t* const outs[4] = {sub, up, average, paeth};
        totals[0] = add_magnitudes(totals[0], neighbours.byte);
        for (size_t k = 0; k < 4; ++k) {
            store(outs[k], i, types[k]);
            totals[k + 1] = add_magnitudes(totals[k + 1], types[k]);
        }
    }
    for (size_t k = 0; k < 5; ++k) sums[k] += lanes_total(totals[k]);
    return i;
}

}  // namespace tessarin::png
