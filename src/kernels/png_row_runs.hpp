// Reconstruction of a run of consecutive rows that share the Average or the
// Paeth filter in one pass, written once over a vector policy and
// instantiated for SSE2 and NEON (two rows) and AVX2 (four rows; its runs
// of eight rows in byte lanes are filter_avx2.cpp's own), with the pixel
// moves and the Paeth step that the single-row vector kernels share,
// and the SSE2 single-row kernels that the run kernels also use for the
// parts of rows outside their vector steps. Only the kernel sources include
// this header. Everything in it has internal linkage, so the
// copy built with AVX2 enabled can never be linked in place of the baseline
// copy of the same template.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/png_unfilter.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessarin::png {
namespace {

// The scalar kernels start at byte `begin`, so that vector code can hand them
// the bytes after its last whole pixel.
void unfilter_average_scalar(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                             size_t bpp) noexcept {
    size_t i = begin;
    for (; i < bpp && i < n; ++i) out[i] = static_cast<uint8_t>(line[i] + (prev[i] >> 1));
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(line[i] + ((out[i - bpp] + prev[i]) >> 1));
}

void unfilter_paeth_scalar(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                           size_t bpp) noexcept {
    size_t i = begin;
    // With left and upper-left both 0 the predictor is always `up`.
    for (; i < bpp && i < n; ++i) out[i] = static_cast<uint8_t>(line[i] + prev[i]);
    for (; i < n; ++i) {
        out[i] = static_cast<uint8_t>(line[i] + paeth_predictor(out[i - bpp], prev[i], prev[i - bpp]));
    }
}

// One pixel of 3 or 4 bytes as the low bytes of a word, moved with an
// access of exactly `Bytes` bytes so that nothing past a row's end is touched.
// The 3-byte forms assemble the bytes in a register: a 3-byte memcpy through
// memory would stall every load on store forwarding.
template <size_t Bytes>
uint32_t load_pixel_bytes(const uint8_t* src) noexcept {
    uint32_t bytes = 0;
    if constexpr (Bytes == 4) {
        std::memcpy(&bytes, src, 4);
    } else {
        uint16_t low = 0;
        std::memcpy(&low, src, 2);
        bytes = low | static_cast<uint32_t>(src[2]) << 16;
    }
    return bytes;
}

template <size_t Bytes>
void store_pixel_bytes(uint8_t* dst, uint32_t bytes) noexcept {
    if constexpr (Bytes == 4) {
        std::memcpy(dst, &bytes, 4);
    } else {
        const auto low = static_cast<uint16_t>(bytes);
        std::memcpy(dst, &low, 2);
        dst[2] = static_cast<uint8_t>(bytes >> 16);
    }
}

// Runs `step` over every whole pixel of an n-byte row from byte `begin` (a
// pixel boundary) and returns the index of the first byte after them. For
// 3-byte pixels every pixel but the last moves 4 bytes: the extra byte is
// the next pixel's first, which is loaded but ignored, and stored but
// rewritten by the next step.
// Always inlined, so that each kernel's step becomes the body of one loop.
template <size_t Bpp, typename Step>
[[gnu::always_inline]] inline size_t for_each_pixel(size_t begin, size_t n, Step step) noexcept {
    size_t i = begin;
    for (; i + 4 <= n; i += Bpp) step.template operator()<4>(i);
    if (Bpp == 3 && i + 3 <= n) {
        step.template operator()<3>(i);
        i += 3;
    }
    return i;
}

// Paeth with the decision turned into threshold tests on `left` alone.
//
// The predictor's inputs `up` and `up_left` come from the previous row and
// are known in advance; only `left` is carried from pixel to pixel. With
// a = left, b = up, c = up_left in 16-bit lanes:
//   - pa <= pb and pa <= pc (predict a) unless a lies strictly between b and
//     e = 3c - 2b;
//   - inside that interval, pb <= pc (predict b) holds on one side of
//     h = floor((3c - b - 1) / 2) when b > c, h = floor((3c - b) / 2)
//     otherwise; a > h predicts the larger of b and c, a <= h the smaller.
// So the predictor is a, or min(b, c) plus |b - c| where a > h. When b == c
// the interval is empty. The per-pixel dependency on `left` shrinks to
// compares, masks and adds instead of three absolute differences; the
// tests check the result against the scalar predictor on every triple.
// Lanes are independent: a register may carry pixels of different rows.
template <class V>
typename V::Reg paeth_step(typename V::Reg filtered, typename V::Reg left, typename V::Reg up,
                           typename V::Reg up_left) noexcept {
    using Reg = typename V::Reg;
    const Reg zero = V::zero();
    const Reg up_step = V::sub16(up, up_left);
    const Reg three_c_minus_b = V::sub16(V::add16(up_left, up_left), up_step);
    const Reg far_end = V::sub16(three_c_minus_b, up);
    const Reg interval_low = V::min16(up, far_end);
    const Reg interval_high = V::max16(up, far_end);
    const Reg up_above_up_left = V::greater16(up_step, zero);
    const Reg split = V::halve16(V::add16(three_c_minus_b, up_above_up_left));
    const Reg step_size = V::max16(up_step, V::sub16(zero, up_step));
    const Reg smaller = V::min16(up, up_left);

    const Reg inside = V::bit_and(V::greater16(left, interval_low), V::greater16(interval_high, left));
    const Reg larger_side = V::bit_and(V::greater16(left, split), step_size);
    // Byte-wise arithmetic keeps every sum modulo 256 and the high bytes of
    // the lanes at 0: filtered + left, moved to the other predictor inside
    // the interval.
    const Reg correction = V::bit_and(inside, V::add8(V::sub8(smaller, left), larger_side));
    return V::add8(V::add8(filtered, left), correction);
}

#if defined(__SSE2__)

// One pixel of 3 or 4 bytes in the low lanes of a register.
template <size_t Bytes>
__m128i load_pixel(const uint8_t* src) noexcept {
    return _mm_cvtsi32_si128(static_cast<int>(load_pixel_bytes<Bytes>(src)));
}

template <size_t Bytes>
void store_pixel(uint8_t* dst, __m128i pixel) noexcept {
    store_pixel_bytes<Bytes>(dst, static_cast<uint32_t>(_mm_cvtsi128_si32(pixel)));
}

// A pixel's bytes in the low four 16-bit lanes.
template <size_t Bytes>
__m128i load_widened(const uint8_t* src) noexcept {
    return _mm_unpacklo_epi8(load_pixel<Bytes>(src), _mm_setzero_si128());
}

// The 16-bit lane operations of the run steps, and two rows per register:
// lanes 0-3 for the first row, 4-7 for the second.
struct Sse2Rows {
    using Reg = __m128i;
    static constexpr size_t rows = 2;
    static Reg zero() noexcept { return _mm_setzero_si128(); }
    static Reg add16(Reg a, Reg b) noexcept { return _mm_add_epi16(a, b); }
    static Reg sub16(Reg a, Reg b) noexcept { return _mm_sub_epi16(a, b); }
    static Reg min16(Reg a, Reg b) noexcept { return _mm_min_epi16(a, b); }
    static Reg max16(Reg a, Reg b) noexcept { return _mm_max_epi16(a, b); }
    static Reg greater16(Reg a, Reg b) noexcept { return _mm_cmpgt_epi16(a, b); }
    static Reg halve16(Reg a) noexcept { return _mm_srai_epi16(a, 1); }
    static Reg bit_and(Reg a, Reg b) noexcept { return _mm_and_si128(a, b); }
    static Reg add8(Reg a, Reg b) noexcept { return _mm_add_epi8(a, b); }
    static Reg sub8(Reg a, Reg b) noexcept { return _mm_sub_epi8(a, b); }

    static Reg widen(const uint32_t (&pixels)[rows]) noexcept {
        const Reg bytes = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(pixels[0])),
                                             _mm_cvtsi32_si128(static_cast<int>(pixels[1])));
        return _mm_unpacklo_epi8(bytes, zero());
    }
    // The first row's pixel, and every other row's the one above it.
    static Reg below_first_row(uint32_t first_pixel, Reg above) noexcept {
        const Reg first = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(first_pixel)), zero());
        return _mm_unpacklo_epi64(first, above);
    }
    static void store(uint8_t* const (&targets)[rows], Reg pixels) noexcept {
        const Reg packed = _mm_packus_epi16(pixels, pixels);
        const auto first = static_cast<uint32_t>(_mm_cvtsi128_si32(packed));
        const auto second = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(packed, 4)));
        std::memcpy(targets[0], &first, 4);
        std::memcpy(targets[1], &second, 4);
    }
};

// The single-row kernels undo bytes `begin` (a pixel boundary) to n of a
// row, taking the pixels left of `begin` as already reconstructed: whole
// rows, and the parts of rows that a run kernel leaves before and after its
// vector steps.
template <size_t Bpp>
void unfilter_average_sse2(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin,
                           size_t n) noexcept {
    const __m128i low_bit = _mm_set1_epi8(1);
    __m128i left = begin >= Bpp ? load_pixel<Bpp>(out + begin - Bpp) : _mm_setzero_si128();
    const size_t i = for_each_pixel<Bpp>(begin, n, [&]<size_t Bytes>(size_t at) {
        const __m128i up = load_pixel<Bytes>(prev + at);
        // pavgb rounds up; taking away the low bit of left ^ up turns that
        // into the exact floor((left + up) / 2) of the 9-bit sum.
        const __m128i rounded_up = _mm_avg_epu8(left, up);
        const __m128i odd = _mm_and_si128(_mm_xor_si128(left, up), low_bit);
        left = _mm_add_epi8(load_pixel<Bytes>(line + at), _mm_sub_epi8(rounded_up, odd));
        store_pixel<Bytes>(out + at, left);
    });
    unfilter_average_scalar(line, prev, out, i, n, Bpp);
}

template <size_t Bpp>
void unfilter_paeth_sse2(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin,
                         size_t n) noexcept {
    __m128i left = begin >= Bpp ? load_widened<Bpp>(out + begin - Bpp) : _mm_setzero_si128();
    __m128i up_left = begin >= Bpp ? load_widened<Bpp>(prev + begin - Bpp) : _mm_setzero_si128();
    const size_t i = for_each_pixel<Bpp>(begin, n, [&]<size_t Bytes>(size_t at) {
        const __m128i up = load_widened<Bytes>(prev + at);
        left = paeth_step<Sse2Rows>(load_widened<Bytes>(line + at), left, up, up_left);
        store_pixel<Bytes>(out + at, _mm_packus_epi16(left, left));
        up_left = up;
    });
    unfilter_paeth_scalar(line, prev, out, i, n, Bpp);
}

#endif

// The Paeth filter for the run kernel: its vector step, and its code for the
// parts of rows outside the vector steps.
struct PaethFilter {
    template <class V>
    static typename V::Reg step(typename V::Reg filtered, typename V::Reg left, typename V::Reg up,
                                typename V::Reg up_left) noexcept {
        return paeth_step<V>(filtered, left, up, up_left);
    }
    static void part(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                     size_t bpp) noexcept {
#if defined(__SSE2__)
        if (bpp == 3) return unfilter_paeth_sse2<3>(line, prev, out, begin, n);
        if (bpp == 4) return unfilter_paeth_sse2<4>(line, prev, out, begin, n);
#endif
        unfilter_paeth_scalar(line, prev, out, begin, n, bpp);
    }
};

// The Average filter for the run kernel: floor((left + up) / 2) in 16-bit
// lanes, added byte-wise as in paeth_step.
struct AverageFilter {
    template <class V>
    static typename V::Reg step(typename V::Reg filtered, typename V::Reg left, typename V::Reg up,
                                typename V::Reg) noexcept {
        return V::add8(filtered, V::halve16(V::add16(left, up)));
    }
    static void part(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                     size_t bpp) noexcept {
#if defined(__SSE2__)
        if (bpp == 3) return unfilter_average_sse2<3>(line, prev, out, begin, n);
        if (bpp == 4) return unfilter_average_sse2<4>(line, prev, out, begin, n);
#endif
        unfilter_average_scalar(line, prev, out, begin, n, bpp);
    }
};

// Pixel `index` of a row as four bytes, 0 left of the row's start.
template <size_t Bpp>
uint32_t pixel_or_zero(const uint8_t* row, ptrdiff_t index) noexcept {
    uint32_t bytes = 0;
    if (index >= 0) std::memcpy(&bytes, row + static_cast<size_t>(index) * Bpp, 4);
    return bytes;
}

// V::rows consecutive rows of one filter in one pass: lines[k] against the
// row above (`prev` for k = 0, outs[k - 1] otherwise) into outs[k]. Row k
// runs `lag` pixels behind row k - 1, whose pixel above it was then
// reconstructed two steps earlier: it is off the chain of dependent
// instructions of the step that needs it. One step does one pixel of every
// row for the instructions and the chain of one. Each row's leading pixels (a
// triangle, before the last row can start) and trailing ones go through
// the single-row kernels; four bytes move per pixel, as in those.
template <class V, class Filter, size_t Bpp>
void unfilter_run_simd(const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs, size_t n) noexcept {
    using Reg = typename V::Reg;
    constexpr size_t rows = V::rows;
    constexpr size_t lag = 2;
    constexpr size_t start = lag * (rows - 1);
    const auto above = [&](size_t k) -> const uint8_t* { return k == 0 ? prev : outs[k - 1]; };
    if (n < (start - 1) * Bpp + 4) {
        for (size_t k = 0; k < rows; ++k) Filter::part(lines[k], above(k), outs[k], 0, n, Bpp);
        return;
    }
    for (size_t k = 0; k + 1 < rows; ++k) Filter::part(lines[k], above(k), outs[k], 0, (start - lag * k) * Bpp, Bpp);
    // Before step j, for row k at pixel j - lag * k: its left neighbour,
    // its upper-left one, and (for the row below) its pixel lag steps back.
    uint32_t left_pixels[rows], up_left_pixels[rows], lagging_pixels[rows];
    for (size_t k = 0; k < rows; ++k) {
        const auto pixel = static_cast<ptrdiff_t>(start - lag * k);
        left_pixels[k] = pixel_or_zero<Bpp>(outs[k], pixel - 1);
        up_left_pixels[k] = pixel_or_zero<Bpp>(above(k), pixel - 1);
        lagging_pixels[k] = pixel_or_zero<Bpp>(outs[k], pixel - static_cast<ptrdiff_t>(lag));
    }
    Reg left = V::widen(left_pixels);
    Reg up_left = V::widen(up_left_pixels);
    Reg lagging = V::widen(lagging_pixels);
    size_t j = start;
    for (; j * Bpp + 4 <= n; ++j) {
        uint32_t filtered_pixels[rows];
        uint8_t* targets[rows];
        for (size_t k = 0; k < rows; ++k) {
            const size_t at = (j - lag * k) * Bpp;
            std::memcpy(&filtered_pixels[k], lines[k] + at, 4);
            targets[k] = outs[k] + at;
        }
        uint32_t prev_pixel;
        std::memcpy(&prev_pixel, prev + j * Bpp, 4);
        const Reg up = V::below_first_row(prev_pixel, lagging);
        const Reg next = Filter::template step<V>(V::widen(filtered_pixels), left, up, up_left);
        V::store(targets, next);
        lagging = left;
        left = next;
        up_left = up;
    }
    for (size_t k = 0; k < rows; ++k) Filter::part(lines[k], above(k), outs[k], (j - lag * k) * Bpp, n, Bpp);
}

// V::rows rows of `filter_type` (Average or Paeth) at 3 or 4 bytes per
// pixel through unfilter_run_simd; false, with nothing done, otherwise.
template <class V>
bool unfilter_run_vector(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                         size_t n, size_t bpp) noexcept {
    if (filter_type == filter_average && bpp == 3) unfilter_run_simd<V, AverageFilter, 3>(lines, prev, outs, n);
    else if (filter_type == filter_average && bpp == 4) unfilter_run_simd<V, AverageFilter, 4>(lines, prev, outs, n);
    else if (filter_type == filter_paeth && bpp == 3) unfilter_run_simd<V, PaethFilter, 3>(lines, prev, outs, n);
    else if (filter_type == filter_paeth && bpp == 4) unfilter_run_simd<V, PaethFilter, 4>(lines, prev, outs, n);
    else return false;
    return true;
}

}  // namespace
}  // namespace tessarin::png
