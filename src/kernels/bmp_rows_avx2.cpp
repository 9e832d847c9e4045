// BMP row converters with AVX2: each step makes 8 pixels of 4 bytes (red,
// green, blue and one spare byte) in a register and packs them to 24 bytes.
// This file alone is compiled with AVX2 enabled; bmp_rows.cpp calls it only
// after asking the processor.
#include "kernels/bmp_rows_avx2.hpp"

#include <immintrin.h>

#include "kernels/bmp_channel_scale.hpp"

namespace tessarin::bmp {
namespace {

// Steps run while this many pixels are left: 8 converted, 3 more for the 8
// bytes each store writes past them.
constexpr size_t pixels_per_step = 8, pixels_left_for_store = 11;

// Moves the first three bytes of each 4-byte pixel to the front of its
// 128-bit lane. A function, not a constant, so that no AVX2 instruction
// runs before the processor is asked.
__m256i drop_fourth_bytes(__m256i pixels) noexcept {
    const __m256i pick = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                                          8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm256_shuffle_epi8(pixels, pick);
}

// Stores 8 pixels whose red, green and blue are each lane's first 12 bytes
// as 24 bytes at `rgb`, and 8 bytes of no meaning after them.
void store_lanes_packed(uint8_t* rgb, __m256i lanes) noexcept {
    const __m256i together = _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgb), together);
}

template <bool green_6_bits>
size_t rgb16_leading(const uint8_t* stored, uint8_t* rgb, size_t width) noexcept {
    const __m256i five_bits = _mm256_set1_epi32(31), six_bits = _mm256_set1_epi32(63);
    const __m256i scale5_by = _mm256_set1_epi32(scale5_multiplier);
    const __m256i scale6_by = _mm256_set1_epi32(scale6_multiplier), scale6_plus = _mm256_set1_epi32(scale6_addend);
    // The products fit in 16 bits, so the 16-bit multiply gives them whole
    // in each 32-bit lane (its upper half multiplies zeros).
    auto scaled5 = [&](__m256i value) {
        return _mm256_srli_epi32(_mm256_mullo_epi16(value, scale5_by), scale5_shift);
    };
    size_t x = 0;
    for (; x + pixels_left_for_store <= width; x += pixels_per_step) {
        const __m256i pixels =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(stored + 2 * x)));
        __m256i red, green;
        if constexpr (green_6_bits) {
            red = scaled5(_mm256_srli_epi32(pixels, 11));
            const __m256i green6 = _mm256_and_si256(_mm256_srli_epi32(pixels, 5), six_bits);
            green = _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi16(green6, scale6_by), scale6_plus),
                                      scale6_shift);
        } else {
            red = scaled5(_mm256_and_si256(_mm256_srli_epi32(pixels, 10), five_bits));
            green = scaled5(_mm256_and_si256(_mm256_srli_epi32(pixels, 5), five_bits));
        }
        const __m256i blue = scaled5(_mm256_and_si256(pixels, five_bits));
        const __m256i rgbx =
            _mm256_or_si256(_mm256_or_si256(red, _mm256_slli_epi32(green, 8)), _mm256_slli_epi32(blue, 16));
        store_lanes_packed(rgb + 3 * x, drop_fourth_bytes(rgbx));
    }
    return x;
}

}  // namespace

// In place, a step stores 32 bytes from 3 * x on, and the next step's
// indices begin 2 * width + x + 8 bytes into `rgb`: with 12 pixels left
// (x <= width - 12) the store ends before them.
size_t palette8_leading_avx2(const uint8_t* indices, uint8_t* rgb, size_t width, const uint8_t* palette) noexcept {
    const int* entries = reinterpret_cast<const int*>(palette);
    size_t x = 0;
    for (; x + pixels_left_for_store + 1 <= width; x += pixels_per_step) {
        const __m256i index = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(indices + x)));
        const __m256i rgbx = _mm256_i32gather_epi32(entries, index, 4);
        store_lanes_packed(rgb + 3 * x, drop_fourth_bytes(rgbx));
    }
    return x;
}

size_t bytes32_leading_avx2(const uint8_t* stored, uint8_t* rgb, size_t width,
                            const uint8_t* channel_bytes) noexcept {
    alignas(32) uint8_t pick[32];
    for (int lane = 0; lane < 2; ++lane) {
        for (int pixel = 0; pixel < 4; ++pixel) {
            for (int channel = 0; channel < 3; ++channel) {
                pick[16 * lane + 3 * pixel + channel] = static_cast<uint8_t>(4 * pixel + channel_bytes[channel]);
            }
        }
        for (int spare = 12; spare < 16; ++spare) pick[16 * lane + spare] = 0x80;
    }
    const __m256i shuffle = _mm256_load_si256(reinterpret_cast<const __m256i*>(pick));
    size_t x = 0;
    for (; x + pixels_left_for_store <= width; x += pixels_per_step) {
        const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 4 * x));
        store_lanes_packed(rgb + 3 * x, _mm256_shuffle_epi8(pixels, shuffle));
    }
    return x;
}

size_t rgb16_leading_avx2(const uint8_t* stored, uint8_t* rgb, size_t width, bool green_6_bits) noexcept {
    return green_6_bits ? rgb16_leading<true>(stored, rgb, width) : rgb16_leading<false>(stored, rgb, width);
}

}  // namespace tessarin::bmp
