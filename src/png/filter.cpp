#include "png/filter.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessarin::png {
namespace {

// The kernels below work on raw pointers into rows whose lengths the public
// entry point has already tied to `n`: `line`, `out` and (when used) `prev`
// hold at least `n` bytes. Each scalar kernel starts at byte `begin`, so the
// SIMD kernels can hand it the bytes after their last whole pixel.

uint8_t wrap(int value) noexcept { return static_cast<uint8_t>(value); }

void unfilter_up(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) out[i] = wrap(line[i] + prev[i]);
}

void unfilter_sub_scalar(const uint8_t* line, uint8_t* out, size_t begin, size_t n,
                         size_t bpp) noexcept {
    size_t i = begin;
    for (; i < std::min(bpp, n); ++i) out[i] = line[i];
    for (; i < n; ++i) out[i] = wrap(line[i] + out[i - bpp]);
}

void unfilter_average_scalar(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin,
                             size_t n, size_t bpp) noexcept {
    size_t i = begin;
    for (; i < std::min(bpp, n); ++i) out[i] = wrap(line[i] + (prev[i] >> 1));
    for (; i < n; ++i) out[i] = wrap(line[i] + ((out[i - bpp] + prev[i]) >> 1));
}

// Average against a missing previous row, where every byte above is 0.
void unfilter_average_first_row(const uint8_t* line, uint8_t* out, size_t n, size_t bpp) noexcept {
    size_t i = 0;
    for (; i < std::min(bpp, n); ++i) out[i] = line[i];
    for (; i < n; ++i) out[i] = wrap(line[i] + (out[i - bpp] >> 1));
}

void unfilter_paeth_scalar(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin,
                           size_t n, size_t bpp) noexcept {
    size_t i = begin;
    // With left and upper-left both 0 the predictor is always `up`.
    for (; i < std::min(bpp, n); ++i) out[i] = wrap(line[i] + prev[i]);
    for (; i < n; ++i) {
        out[i] = wrap(line[i] + paeth_predictor(out[i - bpp], prev[i], prev[i - bpp]));
    }
}

#if defined(__SSE2__)

// One pixel of 3 or 4 bytes in the low lanes of a register, moved with an
// access of exactly `Bytes` bytes so that nothing past a row's end is touched.
// The 3-byte forms assemble the bytes in a register: a 3-byte memcpy through
// memory would stall every load on store forwarding.
template <size_t Bytes>
__m128i load_pixel(const uint8_t* src) noexcept {
    uint32_t bytes = 0;
    if constexpr (Bytes == 4) {
        std::memcpy(&bytes, src, 4);
    } else {
        uint16_t low = 0;
        std::memcpy(&low, src, 2);
        bytes = low | static_cast<uint32_t>(src[2]) << 16;
    }
    return _mm_cvtsi32_si128(static_cast<int>(bytes));
}

template <size_t Bytes>
void store_pixel(uint8_t* dst, __m128i pixel) noexcept {
    const auto bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(pixel));
    if constexpr (Bytes == 4) {
        std::memcpy(dst, &bytes, 4);
    } else {
        const auto low = static_cast<uint16_t>(bytes);
        std::memcpy(dst, &low, 2);
        dst[2] = static_cast<uint8_t>(bytes >> 16);
    }
}

// Runs `step` over every whole pixel of an n-byte row and returns the index
// of the first byte after them. For 3-byte pixels every pixel but the last
// moves 4 bytes: the extra byte is the next pixel's first, which is loaded
// but ignored, and stored but rewritten by the next step.
template <size_t Bpp, typename Step>
size_t for_each_pixel(size_t n, Step step) noexcept {
    size_t i = 0;
    for (; i + 4 <= n; i += Bpp) step.template operator()<4>(i);
    if (Bpp == 3 && i + 3 <= n) {
        step.template operator()<3>(i);
        i += 3;
    }
    return i;
}

template <size_t Bpp>
void unfilter_sub_sse2(const uint8_t* line, uint8_t* out, size_t n) noexcept {
    __m128i left = _mm_setzero_si128();
    const size_t i = for_each_pixel<Bpp>(n, [&]<size_t Bytes>(size_t at) {
        left = _mm_add_epi8(left, load_pixel<Bytes>(line + at));
        store_pixel<Bytes>(out + at, left);
    });
    unfilter_sub_scalar(line, out, i, n, Bpp);
}

template <size_t Bpp>
void unfilter_average_sse2(const uint8_t* line, const uint8_t* prev, uint8_t* out,
                           size_t n) noexcept {
    const __m128i low_bit = _mm_set1_epi8(1);
    __m128i left = _mm_setzero_si128();
    const size_t i = for_each_pixel<Bpp>(n, [&]<size_t Bytes>(size_t at) {
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
__m128i paeth_step(__m128i filtered, __m128i left, __m128i up, __m128i up_left) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i up_step = _mm_sub_epi16(up, up_left);
    const __m128i three_c_minus_b = _mm_sub_epi16(_mm_add_epi16(up_left, up_left), up_step);
    const __m128i far_end = _mm_sub_epi16(three_c_minus_b, up);
    const __m128i interval_low = _mm_min_epi16(up, far_end);
    const __m128i interval_high = _mm_max_epi16(up, far_end);
    const __m128i up_above_up_left = _mm_cmpgt_epi16(up_step, zero);
    const __m128i split = _mm_srai_epi16(_mm_add_epi16(three_c_minus_b, up_above_up_left), 1);
    const __m128i step_size = _mm_max_epi16(up_step, _mm_sub_epi16(zero, up_step));
    const __m128i smaller = _mm_min_epi16(up, up_left);

    const __m128i inside = _mm_and_si128(_mm_cmpgt_epi16(left, interval_low),
                                         _mm_cmpgt_epi16(interval_high, left));
    const __m128i larger_side = _mm_and_si128(_mm_cmpgt_epi16(left, split), step_size);
    // Byte-wise arithmetic keeps every sum modulo 256 and the high bytes of
    // the lanes at 0: filtered + left, moved to the other predictor inside
    // the interval.
    const __m128i correction =
        _mm_and_si128(inside, _mm_add_epi8(_mm_sub_epi8(smaller, left), larger_side));
    return _mm_add_epi8(_mm_add_epi8(filtered, left), correction);
}

// A pixel's bytes in the low four 16-bit lanes.
template <size_t Bytes>
__m128i load_widened(const uint8_t* src) noexcept {
    return _mm_unpacklo_epi8(load_pixel<Bytes>(src), _mm_setzero_si128());
}

template <size_t Bpp>
void unfilter_paeth_sse2(const uint8_t* line, const uint8_t* prev, uint8_t* out,
                         size_t n) noexcept {
    __m128i left = _mm_setzero_si128();
    __m128i up_left = _mm_setzero_si128();
    const size_t i = for_each_pixel<Bpp>(n, [&]<size_t Bytes>(size_t at) {
        const __m128i up = load_widened<Bytes>(prev + at);
        left = paeth_step(load_widened<Bytes>(line + at), left, up, up_left);
        store_pixel<Bytes>(out + at, _mm_packus_epi16(left, left));
        up_left = up;
    });
    unfilter_paeth_scalar(line, prev, out, i, n, Bpp);
}

// Two consecutive Paeth rows in one pass. Lanes 0-3 carry the first row at
// pixel j, lanes 4-7 the second row at pixel j - 2, whose up neighbour (the
// first row's pixel j - 2) was reconstructed two steps earlier and so is not
// on the chain of the step that needs it. Each step then does the work of
// two pixels for the instructions and dependency chain of one, which is what
// bounds the single-row kernel.
template <size_t Bpp>
void unfilter_paeth_pair_sse2(const uint8_t* first, const uint8_t* second, const uint8_t* prev,
                              uint8_t* out_first, uint8_t* out_second, size_t n) noexcept {
    constexpr size_t lag = 2;
    if (n < lag * Bpp + 4) {
        unfilter_paeth_sse2<Bpp>(first, prev, out_first, n);
        unfilter_paeth_sse2<Bpp>(second, out_first, out_second, n);
        return;
    }
    unfilter_paeth_scalar(first, prev, out_first, 0, lag * Bpp, Bpp);
    const __m128i none = _mm_setzero_si128();
    // Before step j: the first row's pixel j - 2, the neighbours to the
    // left of both rows' pixels and above-left of them; the second row's
    // start outside the image, where everything counts as 0.
    __m128i first_lagging = load_widened<4>(out_first);
    __m128i left = _mm_unpacklo_epi64(load_widened<4>(out_first + Bpp), none);
    __m128i up_left = _mm_unpacklo_epi64(load_widened<4>(prev + Bpp), none);
    size_t j = lag;
    // Four bytes moved per pixel, as in for_each_pixel; the scalar code
    // finishes both rows.
    for (; j * Bpp + 4 <= n; ++j) {
        const size_t at = j * Bpp, behind = at - lag * Bpp;
        const __m128i up = _mm_unpacklo_epi64(load_widened<4>(prev + at), first_lagging);
        const __m128i filtered =
            _mm_unpacklo_epi64(load_widened<4>(first + at), load_widened<4>(second + behind));
        const __m128i next = paeth_step(filtered, left, up, up_left);
        const __m128i packed = _mm_packus_epi16(next, next);
        store_pixel<4>(out_first + at, packed);
        store_pixel<4>(out_second + behind, _mm_srli_si128(packed, 4));
        first_lagging = left;
        left = next;
        up_left = up;
    }
    unfilter_paeth_scalar(first, prev, out_first, j * Bpp, n, Bpp);
    unfilter_paeth_scalar(second, out_first, out_second, (j - lag) * Bpp, n, Bpp);
}

#endif

void unfilter_sub(const uint8_t* line, uint8_t* out, size_t n, size_t bpp) noexcept {
#if defined(__SSE2__)
    if (bpp == 3) return unfilter_sub_sse2<3>(line, out, n);
    if (bpp == 4) return unfilter_sub_sse2<4>(line, out, n);
#endif
    unfilter_sub_scalar(line, out, 0, n, bpp);
}

void unfilter_average(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                      size_t bpp) noexcept {
#if defined(__SSE2__)
    if (bpp == 3) return unfilter_average_sse2<3>(line, prev, out, n);
    if (bpp == 4) return unfilter_average_sse2<4>(line, prev, out, n);
#endif
    unfilter_average_scalar(line, prev, out, 0, n, bpp);
}

void unfilter_paeth(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                    size_t bpp) noexcept {
#if defined(__SSE2__)
    if (bpp == 3) return unfilter_paeth_sse2<3>(line, prev, out, n);
    if (bpp == 4) return unfilter_paeth_sse2<4>(line, prev, out, n);
#endif
    unfilter_paeth_scalar(line, prev, out, 0, n, bpp);
}

}  // namespace

void unfilter_paeth_pair(std::span<const uint8_t> first, std::span<const uint8_t> second,
                         std::span<const uint8_t> prev, int bytes_per_pixel,
                         std::span<uint8_t> out_first, std::span<uint8_t> out_second) noexcept {
    const size_t n = first.size();
    const auto bpp = static_cast<size_t>(bytes_per_pixel);
#if defined(__SSE2__)
    if (bpp == 3) {
        return unfilter_paeth_pair_sse2<3>(first.data(), second.data(), prev.data(), out_first.data(),
                                           out_second.data(), n);
    }
    if (bpp == 4) {
        return unfilter_paeth_pair_sse2<4>(first.data(), second.data(), prev.data(), out_first.data(),
                                           out_second.data(), n);
    }
#endif
    unfilter_paeth(first.data(), prev.data(), out_first.data(), n, bpp);
    unfilter_paeth(second.data(), out_first.data(), out_second.data(), n, bpp);
}

FilterStatus unfilter_row(int filter_type, std::span<const uint8_t> scanline,
                          std::span<const uint8_t> prev, int bytes_per_pixel,
                          std::span<uint8_t> out) noexcept {
    const size_t n = scanline.size();
    if (n == 0) return FilterStatus::ok;
    if (filter_type < 0 || filter_type > 4) return FilterStatus::unsupported_filter;

    const uint8_t* line = scanline.data();
    uint8_t* dst = out.data();
    const auto bpp = static_cast<size_t>(bytes_per_pixel);
    // A missing previous row reads as zeros: Up then copies, Paeth always
    // predicts from the left (as Sub does) and Average halves the left byte.
    const bool has_prev = !prev.empty();

    switch (filter_type) {
        case 0:
            std::memcpy(dst, line, n);
            break;
        case 1:
            unfilter_sub(line, dst, n, bpp);
            break;
        case 2:
            if (has_prev) {
                unfilter_up(line, prev.data(), dst, n);
            } else {
                std::memcpy(dst, line, n);
            }
            break;
        case 3:
            if (has_prev) {
                unfilter_average(line, prev.data(), dst, n, bpp);
            } else {
                unfilter_average_first_row(line, dst, n, bpp);
            }
            break;
        default:
            if (has_prev) {
                unfilter_paeth(line, prev.data(), dst, n, bpp);
            } else {
                unfilter_sub(line, dst, n, bpp);
            }
            break;
    }
    return FilterStatus::ok;
}

}  // namespace tessarin::png
