// Kernels with AVX2 (and the SSSE3 byte shuffle that comes with it): runs
// of four rows per 256-bit register, and Sub as prefix sums. This file alone
// is compiled with AVX2 enabled; filter.cpp calls it only after asking the
// processor.
#include <immintrin.h>

#include "png/row_runs.hpp"
#include "png/filter_avx2.hpp"

namespace tessarin::png {
namespace {

// The 16-bit lane operations of the Paeth step; row k in lanes 4k to 4k+3.
struct Avx2Rows {
    using Reg = __m256i;
    static constexpr size_t rows = 4;
    static Reg zero() noexcept { return _mm256_setzero_si256(); }
    static Reg add16(Reg a, Reg b) noexcept { return _mm256_add_epi16(a, b); }
    static Reg sub16(Reg a, Reg b) noexcept { return _mm256_sub_epi16(a, b); }
    static Reg min16(Reg a, Reg b) noexcept { return _mm256_min_epi16(a, b); }
    static Reg max16(Reg a, Reg b) noexcept { return _mm256_max_epi16(a, b); }
    static Reg greater16(Reg a, Reg b) noexcept { return _mm256_cmpgt_epi16(a, b); }
    static Reg halve16(Reg a) noexcept { return _mm256_srai_epi16(a, 1); }
    static Reg bit_and(Reg a, Reg b) noexcept { return _mm256_and_si256(a, b); }
    static Reg add8(Reg a, Reg b) noexcept { return _mm256_add_epi8(a, b); }
    static Reg sub8(Reg a, Reg b) noexcept { return _mm256_sub_epi8(a, b); }

    static Reg widen(const uint32_t (&pixels)[rows]) noexcept {
        return _mm256_cvtepu8_epi16(_mm_setr_epi32(static_cast<int>(pixels[0]), static_cast<int>(pixels[1]),
                                                   static_cast<int>(pixels[2]), static_cast<int>(pixels[3])));
    }
    // The first row's pixel, and every other row's the one above it: the
    // rows of `above` move up one 64-bit lane.
    static Reg below_first_row(uint32_t first_pixel, Reg above) noexcept {
        const Reg first = _mm256_cvtepu8_epi16(_mm_cvtsi32_si128(static_cast<int>(first_pixel)));
        return _mm256_blend_epi32(_mm256_permute4x64_epi64(above, _MM_SHUFFLE(2, 1, 0, 0)), first, 0x03);
    }
    static void store(uint8_t* const (&targets)[rows], Reg pixels) noexcept {
        // packus works per 128-bit half: rows 0 and 1 land in the low
        // 8 bytes of the low half, rows 2 and 3 in those of the high half.
        const Reg packed = _mm256_packus_epi16(pixels, pixels);
        const auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm256_castsi256_si128(packed)));
        const auto high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm256_extracti128_si256(packed, 1)));
        const uint32_t rows_bytes[rows] = {static_cast<uint32_t>(low), static_cast<uint32_t>(low >> 32),
                                           static_cast<uint32_t>(high), static_cast<uint32_t>(high >> 32)};
        for (size_t k = 0; k < rows; ++k) std::memcpy(targets[k], &rows_bytes[k], 4);
    }
};

// Sub as a prefix sum over the whole pixels of one 16-byte load (five of 3
// bytes, four of 4): shifted adds sum each pixel with those before it in the
// register, and the last reconstructed pixel, spread over every pixel slot by
// one byte shuffle, adds the part before the register. The carried chain is
// that add and the shuffle per 15 or 16 bytes, where the SSE2 kernel carries
// an add per pixel. Each store writes 16 bytes; any past the whole pixels are
// written again by the next step or the scalar tail.
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
        sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 2 * Bpp));
        if constexpr (4 * Bpp < 16) sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 4 * Bpp));
        sums = _mm_add_epi8(sums, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), sums);
        carry = _mm_shuffle_epi8(sums, spread_last);
    }
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(line[i] + (i >= Bpp ? out[i - Bpp] : 0));
}

}  // namespace

bool unfilter_sub_avx2(const uint8_t* line, uint8_t* out, size_t n, size_t bpp) noexcept {
    if (bpp == 3) {
        unfilter_sub_prefix<3>(line, out, n);
        return true;
    }
    if (bpp == 4) {
        unfilter_sub_prefix<4>(line, out, n);
        return true;
    }
    return false;
}

bool unfilter_run_avx2(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                       size_t n, size_t bpp) noexcept {
    return unfilter_run_vector<Avx2Rows>(filter_type, lines, prev, outs, n, bpp);
}

}  // namespace tessarin::png
