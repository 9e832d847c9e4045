// Sub at 1, 2, 3, 4, 6 and 8 bytes per pixel, Average and Paeth at 6 and 8,
// with the 128-bit instructions that come with AVX2 (SSSE3 byte shuffles,
// SSE4.1 widening and blends): Sub as prefix sums over 16-byte loads,
// Average and Paeth a pixel per step. This file alone is compiled with AVX2
// enabled; unfilter_any.cpp calls it only after asking the processor.
#include <immintrin.h>

#include <cstring>

#include "kernels/unfilter_any_vector.hpp"
#include "kernels/png_format.hpp"

namespace tessarin::kernels {
namespace {

// Sub as a prefix sum over the whole pixels of one 16-byte load: shifted
// adds sum each pixel with those before it in the register, and the sum of
// every pixel before the register, spread over each pixel slot, adds the
// rest. That spread sum grows by the register's own last pixel, spread by
// one byte shuffle that depends only on the load, so the chain carried from
// one register to the next is a single add. Each store writes 16 bytes; any
// past the whole pixels (at 6 bytes per pixel) are written again by the
// next step or the scalar tail.
template <size_t Bpp>
void unfilter_sub_prefix(const uint8_t* line, uint8_t* out, size_t n) noexcept {
    constexpr size_t step = 16 / Bpp * Bpp;
    alignas(16) int8_t spread[16];
    for (size_t i = 0; i < 16; ++i) spread[i] = i < step ? static_cast<int8_t>(step - Bpp + i % Bpp) : -1;
    const __m128i spread_last = _mm_load_si128(reinterpret_cast<const __m128i*>(spread));
    __m128i carry = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= n; i += step) {
        __m128i sums = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i));
        sums = _mm_add_epi8(sums, _mm_slli_si128(sums, Bpp));
        if constexpr (2 * Bpp < step) sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 2 * Bpp));
        if constexpr (4 * Bpp < step) sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 4 * Bpp));
        if constexpr (8 * Bpp < step) sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 8 * Bpp));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi8(sums, carry));
        carry = _mm_add_epi8(carry, _mm_shuffle_epi8(sums, spread_last));
    }
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(line[i] + (i >= Bpp ? out[i - Bpp] : 0));
}

// `count` bytes (at most 8) in the low bytes of a register, the rest zero.
__m128i load_bytes(const uint8_t* src, size_t count) noexcept {
    uint64_t bytes = 0;
    std::memcpy(&bytes, src, count);
    return _mm_cvtsi64_si128(static_cast<long long>(bytes));
}

void store_bytes(uint8_t* dst, __m128i bytes, size_t count) noexcept {
    const auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(bytes));
    std::memcpy(dst, &low, count);
}

// The pixels of an n-byte row one step each, the last one perhaps partial;
// `step` keeps the reconstructed pixel to its left.
template <size_t Bpp, class Step>
void pixel_by_pixel(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n, Step step) noexcept {
    __m128i up_left = _mm_setzero_si128();
    size_t i = 0;
    const auto advance = [&](size_t count) {
        const __m128i up = load_bytes(prev + i, count);
        store_bytes(out + i, step.next(load_bytes(line + i, count), up, up_left), count);
        up_left = up;
    };
    for (; i + Bpp <= n; i += Bpp) advance(Bpp);
    if (i < n) advance(n - i);
}

// pavgb rounds (left + up) / 2 up; taking away the low bit of left ^ up
// gives the floor of the 9-bit sum.
struct AverageStep {
    __m128i left = _mm_setzero_si128();
    __m128i next(__m128i filtered, __m128i up, __m128i) noexcept {
        const __m128i odd = _mm_and_si128(_mm_xor_si128(left, up), _mm_set1_epi8(1));
        left = _mm_add_epi8(filtered, _mm_sub_epi8(_mm_avg_epu8(left, up), odd));
        return left;
    }
};

// Paeth in 16-bit lanes, with the left pixel kept widened: left unless
// its distance from left + up - up_left is more than one of the others,
// then up unless up_left is strictly nearer.
struct PaethStep {
    __m128i left = _mm_setzero_si128();
    __m128i next(__m128i filtered, __m128i up_bytes, __m128i up_left_bytes) noexcept {
        const __m128i up = _mm_cvtepu8_epi16(up_bytes), up_left = _mm_cvtepu8_epi16(up_left_bytes);
        const __m128i up_step = _mm_sub_epi16(up, up_left), left_step = _mm_sub_epi16(left, up_left);
        const __m128i from_left = _mm_abs_epi16(up_step);
        const __m128i from_up = _mm_abs_epi16(left_step);
        const __m128i from_up_left = _mm_abs_epi16(_mm_add_epi16(up_step, left_step));
        const __m128i not_left = _mm_cmpgt_epi16(from_left, _mm_min_epi16(from_up, from_up_left));
        const __m128i up_or_up_left = _mm_blendv_epi8(up, up_left, _mm_cmpgt_epi16(from_up, from_up_left));
        const __m128i predicted = _mm_blendv_epi8(left, up_or_up_left, not_left);
        left = _mm_and_si128(_mm_add_epi16(_mm_cvtepu8_epi16(filtered), predicted), _mm_set1_epi16(0xff));
        return _mm_packus_epi16(left, left);
    }
};

template <size_t Bpp>
bool unfilter_at(int filter_type, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    if (filter_type == png::filter_sub) {
        unfilter_sub_prefix<Bpp>(line, out, n);
        return true;
    }
    if constexpr (Bpp >= 6) {
        if (filter_type == png::filter_average) {
            pixel_by_pixel<Bpp>(line, prev, out, n, AverageStep{});
            return true;
        }
        if (filter_type == png::filter_paeth) {
            pixel_by_pixel<Bpp>(line, prev, out, n, PaethStep{});
            return true;
        }
    }
    return false;
}

}  // namespace

bool unfilter_any_avx2(int filter_type, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t bpp) noexcept {
    switch (bpp) {
        case 1: return unfilter_at<1>(filter_type, line, prev, out, n);
        case 2: return unfilter_at<2>(filter_type, line, prev, out, n);
        case 3: return unfilter_at<3>(filter_type, line, prev, out, n);
        case 4: return unfilter_at<4>(filter_type, line, prev, out, n);
        case 6: return unfilter_at<6>(filter_type, line, prev, out, n);
        case 8: return unfilter_at<8>(filter_type, line, prev, out, n);
        default: return false;
    }
}

}  // namespace tessarin::kernels
