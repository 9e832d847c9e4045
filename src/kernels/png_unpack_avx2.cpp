// The row converters with AVX2: byte shuffles pick the samples and spread
// them to three channels, or look up palette entries of up to 4 bits in a
// plane per channel and interleave the planes; sixteen pixels a step (eight
// for RGBA 16 and palette 8, where a step's output is 24 bytes). This file alone is compiled
// with AVX2 enabled; png_unpack.cpp calls it only after asking the processor.
#include <immintrin.h>

#include <cstring>

#include "kernels/png_unpack_vector.hpp"

namespace tessarin::kernels {
namespace {

__m256i load256(const uint8_t* src) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)); }
__m128i load128(const uint8_t* src) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)); }
void store256(uint8_t* dst, __m256i bytes) noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), bytes); }
void store128(uint8_t* dst, __m128i bytes) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes); }

// 48 bytes: bytes 0-31 and 32-47 of a step's output.
struct Bytes48 {
    __m256i low;
    __m128i high;
};

void store48(uint8_t* dst, Bytes48 bytes) noexcept {
    store256(dst, bytes.low);
    store128(dst + 32, bytes.high);
}

// Sixteen samples, each three times: byte j of the output is sample j / 3.
Bytes48 tripled(__m128i samples) noexcept {
    const __m256i spread_low = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5,  //
                                                5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i spread_high = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    return {_mm256_shuffle_epi8(_mm256_broadcastsi128_si256(samples), spread_low),
            _mm_shuffle_epi8(samples, spread_high)};
}

// For output byte j of three interleaved planes: in the mask of plane
// j % 3 the plane's byte j / 3, in the other two 0x80 (zero).
struct InterleaveMasks {
    uint8_t plane[3][48];
};

constexpr InterleaveMasks interleave_masks() noexcept {
    InterleaveMasks masks{};
    for (int plane = 0; plane < 3; ++plane) {
        for (int j = 0; j < 48; ++j) masks.plane[plane][j] = static_cast<uint8_t>(j % 3 == plane ? j / 3 : 0x80);
    }
    return masks;
}

constexpr InterleaveMasks interleave = interleave_masks();

// Three planes of sixteen bytes interleaved: byte j of the output is byte
// j / 3 of plane j % 3.
Bytes48 interleaved(const __m128i (&planes)[3]) noexcept {
    Bytes48 out = {_mm256_setzero_si256(), _mm_setzero_si128()};
    for (size_t p = 0; p < 3; ++p) {
        out.low = _mm256_or_si256(out.low, _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(planes[p]),
                                                               load256(interleave.plane[p])));
        out.high = _mm_or_si128(out.high, _mm_shuffle_epi8(planes[p], load128(interleave.plane[p] + 32)));
    }
    return out;
}

// The even bytes of `first`, then those of `second`. packus works per
// 128-bit half, so the quarters come out as first-low, second-low,
// first-high, second-high, and one permute puts them in order.
__m256i even_bytes(__m256i first, __m256i second) noexcept {
    const __m256i low_bytes = _mm256_set1_epi16(0x00ff);
    const __m256i packed =
        _mm256_packus_epi16(_mm256_and_si256(first, low_bytes), _mm256_and_si256(second, low_bytes));
    return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

// The first three bytes of each of eight 4-byte pixels, in the low 24 bytes.
__m256i drop_fourth_bytes(__m256i pixels) noexcept {
    const __m256i keep_colour = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                                 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join_halves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pixels, keep_colour), join_halves);
}

void store24(uint8_t* dst, __m256i bytes) noexcept {
    store128(dst, _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(bytes, 1));
}

// Sixteen greyscale samples a step, each picked by `samples` from the
// pixels at x, then spread.
template <class Samples>
size_t spread_samples(uint8_t* rgb, size_t pixels, Samples samples) noexcept {
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) store48(rgb + 3 * x, tripled(samples(x)));
    return x;
}

// The first byte of each of sixteen 4-byte pixels: each half's four go to
// one 32-bit lane, and a permute puts the lanes in order.
__m128i first_of_four(const uint8_t* src) noexcept {
    const __m256i firsts_to_lane_0 = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                      0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i firsts_to_lane_1 = _mm256_setr_epi8(-1, -1, -1, -1, 0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                      -1, -1, -1, -1, 0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i lanes = _mm256_or_si256(_mm256_shuffle_epi8(load256(src), firsts_to_lane_0),
                                          _mm256_shuffle_epi8(load256(src + 32), firsts_to_lane_1));
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

// Sixteen 1-bit samples from two bytes, each as a byte of 0 or 255.
__m128i bits_to_bytes(const uint8_t* src) noexcept {
    uint16_t two_bytes = 0;
    std::memcpy(&two_bytes, src, 2);
    const __m128i bit_of_lane = _mm_setr_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
    const __m128i repeated = _mm_shuffle_epi8(_mm_cvtsi32_si128(two_bytes),
                                              _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
    return _mm_cmpeq_epi8(_mm_and_si128(repeated, bit_of_lane), bit_of_lane);
}

// Sixteen 2-bit samples from four bytes, each as a byte of high_weight times
// its high bit plus low_weight times its low bit: 170 and 85 scale a sample
// by 85, 2 and 1 leave it as it is.
__m128i two_bit_samples(const uint8_t* src, char high_weight, char low_weight) noexcept {
    uint32_t four_bytes = 0;
    std::memcpy(&four_bytes, src, 4);
    const __m128i repeated = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(four_bytes)),
                                              _mm_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3));
    const __m128i high_bit = _mm_setr_epi8(-128, 32, 8, 2, -128, 32, 8, 2, -128, 32, 8, 2, -128, 32, 8, 2);
    const __m128i low_bit = _mm_setr_epi8(64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1);
    const __m128i high = _mm_cmpeq_epi8(_mm_and_si128(repeated, high_bit), high_bit);
    const __m128i low = _mm_cmpeq_epi8(_mm_and_si128(repeated, low_bit), low_bit);
    return _mm_or_si128(_mm_and_si128(high, _mm_set1_epi8(high_weight)), _mm_and_si128(low, _mm_set1_epi8(low_weight)));
}

// Sixteen 4-bit samples from eight bytes, each in a byte of its own, the
// high nibble of a byte first.
__m128i nibbles(const uint8_t* src) noexcept {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src));
    const __m128i low_nibble = _mm_set1_epi8(0x0f);
    return _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble), _mm_and_si128(bytes, low_nibble));
}

// Sixteen 4-bit samples scaled by 17, looked up.
__m128i nibbles_scaled(const uint8_t* src) noexcept {
    const __m128i times_17 = _mm_setr_epi8(0, 17, 34, 51, 68, 85, 102, 119, -120, -103, -86, -69, -52, -35, -18, -1);
    return _mm_shuffle_epi8(times_17, nibbles(src));
}

// Palette entries 0 to 15 chosen by sixteen indices a step, each picked by
// `indices` from the pixels at x: each channel looked up in a plane of its
// own, then the planes interleaved.
template <class Indices>
size_t palette_nibbles(uint8_t* rgb, size_t pixels, const uint8_t* palette, Indices indices) noexcept {
    if (pixels < 16) return 0;
    alignas(16) uint8_t planes[3][16];
    for (size_t entry = 0; entry < 16; ++entry) {
        for (size_t channel = 0; channel < 3; ++channel) planes[channel][entry] = palette[3 * entry + channel];
    }
    const __m128i red = load128(planes[0]), green = load128(planes[1]), blue = load128(planes[2]);
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) {
        const __m128i index = indices(x);
        store48(rgb + 3 * x, interleaved({_mm_shuffle_epi8(red, index), _mm_shuffle_epi8(green, index),
                                          _mm_shuffle_epi8(blue, index)}));
    }
    return x;
}

// Palette entries 0 and 1 chosen by each bit.
size_t palette_bits(const uint8_t* line, uint8_t* rgb, size_t pixels, const uint8_t* palette) noexcept {
    // Entry e repeated along a step's 48 output bytes.
    alignas(32) uint8_t repeated[2][48];
    for (size_t entry = 0; entry < 2; ++entry) {
        for (size_t i = 0; i < 48; ++i) repeated[entry][i] = palette[3 * entry + i % 3];
    }
    const Bytes48 zero = {load256(repeated[0]), load128(repeated[0] + 32)};
    const Bytes48 one = {load256(repeated[1]), load128(repeated[1] + 32)};
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) {
        const Bytes48 ones = tripled(bits_to_bytes(line + x / 8));
        store48(rgb + 3 * x, {_mm256_blendv_epi8(zero.low, one.low, ones.low),
                              _mm_blendv_epi8(zero.high, one.high, ones.high)});
    }
    return x;
}

// Eight entries a step, gathered as the four bytes at 3 * index. Entry
// 255's four would run one byte past the palette: they are read from one
// byte earlier and shifted down a byte.
size_t palette_bytes(const uint8_t* line, uint8_t* rgb, size_t pixels, const uint8_t* palette) noexcept {
    const auto* base = reinterpret_cast<const int*>(palette);
    const __m256i last_entry = _mm256_set1_epi32(255);
    const __m256i last_offset = _mm256_set1_epi32(3 * 255 - 1);
    const __m256i one_byte = _mm256_set1_epi32(8);
    size_t x = 0;
    for (; x + 8 <= pixels; x += 8) {
        const __m256i index = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + x)));
        const __m256i offset = _mm256_min_epi32(_mm256_add_epi32(index, _mm256_add_epi32(index, index)), last_offset);
        const __m256i shift = _mm256_and_si256(_mm256_cmpeq_epi32(index, last_entry), one_byte);
        const __m256i entries = _mm256_srlv_epi32(_mm256_i32gather_epi32(base, offset, 1), shift);
        store24(rgb + 3 * x, drop_fourth_bytes(entries));
    }
    return x;
}

}  // namespace

size_t unpack_leading_avx2(UnpackLayout layout, const uint8_t* scanline, uint8_t* rgb, size_t pixels,
                           const uint8_t* palette) noexcept {
    switch (layout) {
        case UnpackLayout::first_of_1:
            return spread_samples(rgb, pixels, [&](size_t x) { return load128(scanline + x); });
        case UnpackLayout::first_of_2:
            return spread_samples(rgb, pixels, [&](size_t x) {
                const __m256i pixels_bytes = load256(scanline + 2 * x);
                return _mm256_castsi256_si128(even_bytes(pixels_bytes, pixels_bytes));
            });
        case UnpackLayout::first_of_4:
            return spread_samples(rgb, pixels, [&](size_t x) { return first_of_four(scanline + 4 * x); });
        case UnpackLayout::bits_1:
            return spread_samples(rgb, pixels, [&](size_t x) { return bits_to_bytes(scanline + x / 8); });
        case UnpackLayout::even_of_6: {
            // Every even byte of the scanline, 32 output bytes a step; a
            // step may end inside a pixel, which the caller writes again.
            const size_t bytes = 3 * pixels;
            size_t i = 0;
            for (; i + 32 <= bytes; i += 32) {
                store256(rgb + i, even_bytes(load256(scanline + 2 * i), load256(scanline + 2 * i + 32)));
            }
            return i / 3;
        }
        case UnpackLayout::even_of_8: {
            size_t x = 0;
            for (; x + 8 <= pixels; x += 8) {
                store24(rgb + 3 * x, drop_fourth_bytes(even_bytes(load256(scanline + 8 * x),
                                                                  load256(scanline + 8 * x + 32))));
            }
            return x;
        }
        case UnpackLayout::bits_2:
            return spread_samples(rgb, pixels, [&](size_t x) { return two_bit_samples(scanline + x / 4, -86, 85); });
        case UnpackLayout::bits_4:
            return spread_samples(rgb, pixels, [&](size_t x) { return nibbles_scaled(scanline + x / 2); });
        case UnpackLayout::palette_bits_1: return palette_bits(scanline, rgb, pixels, palette);
        case UnpackLayout::palette_bits_2:
            return palette_nibbles(rgb, pixels, palette, [&](size_t x) { return two_bit_samples(scanline + x / 4, 2, 1); });
        case UnpackLayout::palette_bits_4:
            return palette_nibbles(rgb, pixels, palette, [&](size_t x) { return nibbles(scanline + x / 2); });
        case UnpackLayout::palette_8: return palette_bytes(scanline, rgb, pixels, palette);
    }
    return 0;
}

}  // namespace tessarin::kernels
