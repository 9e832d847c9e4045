// Kernels with AVX2: runs of eight rows in byte lanes and of four rows in
// 16-bit lanes. This file alone is compiled with AVX2 enabled;
// png_unfilter.cpp calls it only after asking the processor. Sub's vector
// form, at every distance, is unfilter_any's.
#include <immintrin.h>

#include <algorithm>

#include "kernels/png_row_runs.hpp"
#include "kernels/png_unfilter_avx2.hpp"

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

// ---- Runs of eight rows in byte lanes ----
//
// One register holds one pixel of each of eight rows: row k in 32-bit lane k
// (rows 0-3 in the low 128-bit half, 4-7 in the high one), a 3-byte pixel in
// the low three bytes of its lane. Byte lanes carry twice the rows of 16-bit
// lanes for the same instructions; where each dependent instruction takes two
// cycles (as on AMD's Zen 5), the chain from a pixel to the next bounds a
// row, so more rows per chain is what makes a run faster.

using Reg = __m256i;

// Paeth in byte lanes. With a = left, b = up, c = up_left and d = |b - c|,
// the predictor is a unless a lies strictly inside (3c - 2b, b) when b >= c,
// or (b, 3c - 2b) when b < c; inside, it is b when a >= c - floor(d / 2)
// (b >= c), or when a <= c + floor(d / 2) (b < c), and c otherwise. Both
// tests take the form "a within [low, high]", which clamping a and comparing
// answers exactly with saturating bounds: the limits that fall outside 0-255
// saturate to bounds that every or no byte meets, as the exact test does.
// When b == c the interval is empty; its bounds [c + 1, b] then admit a == b
// alone, for which every choice is the same byte. The one dependent chain
// from a is a clamp, a compare and two blends; the kernel tests compare it
// with the scalar predictor on every triple.
struct PaethBytes {
    static Reg within(Reg a, Reg low, Reg high) noexcept {
        return _mm256_cmpeq_epi8(_mm256_min_epu8(_mm256_max_epu8(a, low), high), a);
    }
    static Reg step(Reg filtered, Reg left, Reg up, Reg up_left) noexcept {
        const Reg one = _mm256_set1_epi8(1);
        const Reg distance = _mm256_sub_epi8(_mm256_max_epu8(up, up_left), _mm256_min_epu8(up, up_left));
        const Reg half = _mm256_and_si256(_mm256_srli_epi16(distance, 1), _mm256_set1_epi8(0x7f));
        const Reg up_not_below = _mm256_cmpeq_epi8(_mm256_max_epu8(up, up_left), up);
        // Inside when low <= a <= high.
        const Reg low = _mm256_blendv_epi8(
            _mm256_adds_epu8(up, one),
            _mm256_subs_epu8(_mm256_subs_epu8(_mm256_adds_epu8(up_left, one), distance), distance), up_not_below);
        const Reg high = _mm256_blendv_epi8(
            _mm256_adds_epu8(_mm256_adds_epu8(_mm256_subs_epu8(up_left, one), distance), distance),
            _mm256_subs_epu8(up, _mm256_min_epu8(distance, one)), up_not_below);
        // Inside, `up` when pick_low <= a <= pick_high.
        const Reg pick_low = _mm256_and_si256(_mm256_subs_epu8(up_left, half), up_not_below);
        const Reg pick_high = _mm256_or_si256(_mm256_adds_epu8(up_left, half), up_not_below);
        const Reg by_up = _mm256_blendv_epi8(_mm256_add_epi8(filtered, up_left), _mm256_add_epi8(filtered, up),
                                             within(left, pick_low, pick_high));
        return _mm256_blendv_epi8(_mm256_add_epi8(filtered, left), by_up, within(left, low, high));
    }
    static void part(size_t, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                     size_t bpp) noexcept {
        PaethFilter::part(line, prev, out, begin, n, bpp);
    }
};

// Average in byte lanes: pavgb rounds (a + b) / 2 up; taking away the low bit
// of a ^ b gives the floor of the 9-bit sum.
struct AverageBytes {
    static Reg step(Reg filtered, Reg left, Reg up, Reg) noexcept {
        const Reg odd = _mm256_and_si256(_mm256_xor_si256(left, up), _mm256_set1_epi8(1));
        return _mm256_sub_epi8(_mm256_add_epi8(filtered, _mm256_avg_epu8(left, up)), odd);
    }
    static void part(size_t, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                     size_t bpp) noexcept {
        AverageFilter::part(line, prev, out, begin, n, bpp);
    }
};

// Rows of either filter, lane by lane: both steps, and the Average one kept
// in the lanes of Average rows. Each Paeth row costs a few more instructions
// than in a run of Paeth rows alone, each Average row several more; runs of
// rows that alternate (as photographs' filters often do) otherwise go two or
// one at a time.
class MixedBytes {
public:
    explicit MixedBytes(const uint8_t* filter_types) noexcept : filter_types_(filter_types) {
        alignas(32) int32_t lanes[8];
        for (size_t k = 0; k < 8; ++k) lanes[k] = filter_types[k] == filter_average ? -1 : 0;
        average_lanes_ = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    }
    Reg step(Reg filtered, Reg left, Reg up, Reg up_left) const noexcept {
        return _mm256_blendv_epi8(PaethBytes::step(filtered, left, up, up_left),
                                  AverageBytes::step(filtered, left, up, up_left), average_lanes_);
    }
    void part(size_t k, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
              size_t bpp) const noexcept {
        if (filter_types_[k] == filter_average) return AverageFilter::part(line, prev, out, begin, n, bpp);
        PaethFilter::part(line, prev, out, begin, n, bpp);
    }

private:
    const uint8_t* filter_types_;
    Reg average_lanes_;
};

// Four pixels' bytes, each widened to four bytes (3-byte pixels), and back.
template <size_t Bpp>
Reg pixel_lanes_mask() noexcept {
    if constexpr (Bpp == 3) {
        return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
    } else {
        return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    }
}
template <size_t Bpp>
Reg packed_pixels_mask() noexcept {
    if constexpr (Bpp == 3) {
        return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    } else {
        return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    }
}

// Registers a, b, c, d holding four 32-bit lanes per half, swapped around
// the diagonal in each half: afterwards register i holds lane i of each.
void transpose_lanes(Reg (&r)[4]) noexcept {
    const Reg ab_low = _mm256_unpacklo_epi32(r[0], r[1]), ab_high = _mm256_unpackhi_epi32(r[0], r[1]);
    const Reg cd_low = _mm256_unpacklo_epi32(r[2], r[3]), cd_high = _mm256_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm256_unpacklo_epi64(ab_low, cd_low);
    r[1] = _mm256_unpackhi_epi64(ab_low, cd_low);
    r[2] = _mm256_unpacklo_epi64(ab_high, cd_high);
    r[3] = _mm256_unpackhi_epi64(ab_high, cd_high);
}

// Eight consecutive rows of one filter in one pass, as unfilter_run_simd does
// four: row k runs `lag` pixels behind row k - 1, so that the pixel above
// it, which row k - 1 made `lag` steps earlier, is long off the chain; the
// leading triangle and the trailing pixels go through the single-row
// kernels. Steps go four at a time while the rows have 16 bytes left: each
// row's four pixels come with one load, are turned into lanes of four steps
// by a transpose, and go back the same way, one store a row. The 3-byte
// forms store four bytes past the pixels, into the row's next pixels, which
// later steps rewrite.
template <size_t Bpp, class Filter>
void unfilter_run8(const Filter& filter, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                   size_t n) noexcept {
    constexpr size_t rows = 8, lag = 3, start = lag * (rows - 1), block = 4;
    const auto above = [&](size_t k) -> const uint8_t* { return k == 0 ? prev : outs[k - 1]; };
    if (n < (start + block) * Bpp + 16) {
        for (size_t k = 0; k < rows; ++k) filter.part(k, lines[k], above(k), outs[k], 0, n, Bpp);
        return;
    }
    for (size_t k = 0; k + 1 < rows; ++k) filter.part(k, lines[k], above(k), outs[k], 0, (start - lag * k) * Bpp, Bpp);
    const auto lanes = [&](const auto& pixel_of_row) {
        alignas(32) uint32_t pixels[rows];
        for (size_t k = 0; k < rows; ++k) pixels[k] = pixel_of_row(k);
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(pixels));
    };
    const auto start_of = [&](size_t k) { return static_cast<ptrdiff_t>(start - lag * k); };
    // Before step j: each row's left and upper-left neighbours, and its
    // output 1 to `lag` steps back (history[lag - 1] is the row above's).
    Reg left = lanes([&](size_t k) { return pixel_or_zero<Bpp>(outs[k], start_of(k) - 1); });
    Reg up_left = lanes([&](size_t k) { return pixel_or_zero<Bpp>(above(k), start_of(k) - 1); });
    Reg history[lag];
    for (size_t back = 1; back <= lag; ++back) {
        history[back - 1] = lanes([&](size_t k) {
            return pixel_or_zero<Bpp>(outs[k], start_of(k) - static_cast<ptrdiff_t>(back));
        });
    }
    const Reg down_one_row = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
    const auto advance = [&](Reg filtered, Reg first_row_up) {
        const Reg up = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(history[lag - 1], down_one_row), first_row_up, 0x01);
        const Reg next = filter.step(filtered, left, up, up_left);
        for (size_t back = lag - 1; back > 0; --back) history[back] = history[back - 1];
        history[0] = next;
        left = next;
        up_left = up;
        return next;
    };
    const Reg to_lanes = pixel_lanes_mask<Bpp>(), to_pixels = packed_pixels_mask<Bpp>();
    size_t j = start;
    for (; j * Bpp + 16 <= n; j += block) {
        Reg steps[block];
        for (size_t k = 0; k < 4; ++k) {
            const auto* low = reinterpret_cast<const __m128i*>(lines[k] + (j - lag * k) * Bpp);
            const auto* high = reinterpret_cast<const __m128i*>(lines[k + 4] + (j - lag * (k + 4)) * Bpp);
            steps[k] = _mm256_shuffle_epi8(_mm256_loadu2_m128i(high, low), to_lanes);
        }
        transpose_lanes(steps);
        const Reg prev_pixels =
            _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + j * Bpp))), to_lanes);
        steps[0] = advance(steps[0], _mm256_shuffle_epi32(prev_pixels, 0x00));
        steps[1] = advance(steps[1], _mm256_shuffle_epi32(prev_pixels, 0x55));
        steps[2] = advance(steps[2], _mm256_shuffle_epi32(prev_pixels, 0xaa));
        steps[3] = advance(steps[3], _mm256_shuffle_epi32(prev_pixels, 0xff));
        transpose_lanes(steps);
        for (size_t k = 0; k < 4; ++k) {
            auto* low = reinterpret_cast<__m128i*>(outs[k] + (j - lag * k) * Bpp);
            auto* high = reinterpret_cast<__m128i*>(outs[k + 4] + (j - lag * (k + 4)) * Bpp);
            _mm256_storeu2_m128i(high, low, _mm256_shuffle_epi8(steps[k], to_pixels));
        }
    }
    for (; j * Bpp + 4 <= n; ++j) {
        const Reg filtered = lanes([&](size_t k) { return pixel_or_zero<Bpp>(lines[k], static_cast<ptrdiff_t>(j - lag * k)); });
        const Reg next = advance(filtered, _mm256_set1_epi32(static_cast<int>(pixel_or_zero<Bpp>(prev, static_cast<ptrdiff_t>(j)))));
        alignas(32) uint32_t pixels[rows];
        _mm256_store_si256(reinterpret_cast<__m256i*>(pixels), next);
        for (size_t k = 0; k < rows; ++k) std::memcpy(outs[k] + (j - lag * k) * Bpp, &pixels[k], 4);
    }
    for (size_t k = 0; k < rows; ++k) filter.part(k, lines[k], above(k), outs[k], (j - lag * k) * Bpp, n, Bpp);
}

}  // namespace

// The run kernels end in the single-row kernels, which they may leave by a
// jump that the compiler does not precede with vzeroupper: the upper halves
// of the vector registers are then left in use when the caller's SSE code
// (the baseline kernels, the host's zlib) runs, which then waits on them
// (bench/README.md measured it on AMD's Zen 5). So they are cleared on the
// way out.
bool unfilter_run_avx2(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                       size_t n, size_t bpp) noexcept {
    const bool done = unfilter_run_vector<Avx2Rows>(filter_type, lines, prev, outs, n, bpp);
    _mm256_zeroupper();
    return done;
}

bool unfilter_run8_avx2(const uint8_t* filter_types, const uint8_t* const* lines, const uint8_t* prev,
                        uint8_t* const* outs, size_t n, size_t bpp) noexcept {
    if (bpp != 3 && bpp != 4) return false;
    const bool all_average = std::all_of(filter_types, filter_types + 8, [](uint8_t type) { return type == filter_average; });
    const bool all_paeth = std::all_of(filter_types, filter_types + 8, [](uint8_t type) { return type == filter_paeth; });
    const auto run = [&](const auto& filter) {
        if (bpp == 3) unfilter_run8<3>(filter, lines, prev, outs, n);
        else unfilter_run8<4>(filter, lines, prev, outs, n);
    };
    if (all_average) run(AverageBytes{});
    else if (all_paeth) run(PaethBytes{});
    else run(MixedBytes(filter_types));
    _mm256_zeroupper();
    return true;
}

}  // namespace tessarin::png
