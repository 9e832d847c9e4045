// The row converters with NEON: de-interleaving loads pick the samples (or
// table lookups the palette entries) and interleaving stores spread them to
// three channels, sixteen pixels a step. Built only for aarch64, where
// every processor has NEON.
#include <arm_neon.h>

#include <cstring>

#include "kernels/png_unpack_vector.hpp"

namespace tessarin::kernels {
namespace {

void store_grey(uint8_t* dst, uint8x16_t grey) noexcept { vst3q_u8(dst, uint8x16x3_t{{grey, grey, grey}}); }

// Sixteen greyscale samples a step, each picked by `samples` from the
// pixels at x, then spread.
template <class Samples>
size_t spread_samples(uint8_t* rgb, size_t pixels, Samples samples) noexcept {
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) store_grey(rgb + 3 * x, samples(x));
    return x;
}

// Sixteen 1-bit samples from two bytes, each as a byte of 0 or 255.
uint8x16_t bits_to_bytes(const uint8_t* src) noexcept {
    const uint8x16_t bit_of_lane = {128, 64, 32, 16, 8, 4, 2, 1, 128, 64, 32, 16, 8, 4, 2, 1};
    return vtstq_u8(vcombine_u8(vdup_n_u8(src[0]), vdup_n_u8(src[1])), bit_of_lane);
}

// Sixteen 2-bit samples from four bytes, each in a byte of its own, the
// high bits of a byte first.
uint8x16_t two_bit_samples(const uint8_t* src) noexcept {
    uint32_t four_bytes = 0;
    std::memcpy(&four_bytes, src, 4);
    const uint8x16_t byte_of_lane = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
    const int8x16_t shift_down = {-6, -4, -2, 0, -6, -4, -2, 0, -6, -4, -2, 0, -6, -4, -2, 0};
    const uint8x16_t repeated = vqtbl1q_u8(vreinterpretq_u8_u32(vdupq_n_u32(four_bytes)), byte_of_lane);
    return vandq_u8(vshlq_u8(repeated, shift_down), vdupq_n_u8(3));
}

// Sixteen 4-bit samples from eight bytes, each in a byte of its own, the
// high nibble of a byte first.
uint8x16_t nibbles(const uint8_t* src) noexcept {
    const uint8x8_t bytes = vld1_u8(src);
    const uint8x8x2_t zipped = vzip_u8(vshr_n_u8(bytes, 4), vand_u8(bytes, vdup_n_u8(0x0f)));
    return vcombine_u8(zipped.val[0], zipped.val[1]);
}

// Palette entries 0 to 15 chosen by sixteen indices a step, each picked by
// `indices` from the pixels at x, looked up in a plane per channel.
template <class Indices>
size_t palette_nibbles(uint8_t* rgb, size_t pixels, const uint8_t* palette, Indices indices) noexcept {
    const uint8x16x3_t planes = vld3q_u8(palette);
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) {
        const uint8x16_t index = indices(x);
        const uint8x16x3_t colour = {
            {vqtbl1q_u8(planes.val[0], index), vqtbl1q_u8(planes.val[1], index), vqtbl1q_u8(planes.val[2], index)}};
        vst3q_u8(rgb + 3 * x, colour);
    }
    return x;
}

// Palette entries 0 and 1 chosen by each bit.
size_t palette_bits(const uint8_t* line, uint8_t* rgb, size_t pixels, const uint8_t* palette) noexcept {
    uint8x16_t zero[3], one[3];
    for (size_t channel = 0; channel < 3; ++channel) {
        zero[channel] = vdupq_n_u8(palette[channel]);
        one[channel] = vdupq_n_u8(palette[3 + channel]);
    }
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) {
        const uint8x16_t ones = bits_to_bytes(line + x / 8);
        vst3q_u8(rgb + 3 * x, uint8x16x3_t{{vbslq_u8(ones, one[0], zero[0]), vbslq_u8(ones, one[1], zero[1]),
                                            vbslq_u8(ones, one[2], zero[2])}});
    }
    return x;
}

// Sixteen entries a step by table lookups, each channel from a plane of 256
// bytes in four 64-byte tables: a lookup leaves lanes whose index is past
// its table as they are, so the four lookups, each with the index less the
// table's start, fill every lane. The planes cost about as much as
// converting 32 pixels, so shorter rows go pixel by pixel.
size_t palette_bytes(const uint8_t* line, uint8_t* rgb, size_t pixels, const uint8_t* palette) noexcept {
    if (pixels < 64) return 0;
    alignas(16) uint8_t planes[3][256];
    for (size_t i = 0; i < 256; i += 16) {
        const uint8x16x3_t entries = vld3q_u8(palette + 3 * i);
        for (size_t channel = 0; channel < 3; ++channel) vst1q_u8(&planes[channel][i], entries.val[channel]);
    }
    const uint8x16_t table_size = vdupq_n_u8(64);
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16) {
        uint8x16x3_t colour;
        for (size_t channel = 0; channel < 3; ++channel) {
            uint8x16_t index = vld1q_u8(line + x);
            uint8x16_t value = vqtbl4q_u8(vld1q_u8_x4(planes[channel]), index);
            for (size_t table = 1; table < 4; ++table) {
                index = vsubq_u8(index, table_size);
                value = vqtbx4q_u8(value, vld1q_u8_x4(planes[channel] + 64 * table), index);
            }
            colour.val[channel] = value;
        }
        vst3q_u8(rgb + 3 * x, colour);
    }
    return x;
}

}  // namespace

size_t unpack_leading_neon(UnpackLayout layout, const uint8_t* scanline, uint8_t* rgb, size_t pixels,
                           const uint8_t* palette) noexcept {
    switch (layout) {
        case UnpackLayout::first_of_1:
            return spread_samples(rgb, pixels, [&](size_t x) { return vld1q_u8(scanline + x); });
        case UnpackLayout::first_of_2:
            return spread_samples(rgb, pixels, [&](size_t x) { return vld2q_u8(scanline + 2 * x).val[0]; });
        case UnpackLayout::first_of_4:
            return spread_samples(rgb, pixels, [&](size_t x) { return vld4q_u8(scanline + 4 * x).val[0]; });
        case UnpackLayout::bits_1:
            return spread_samples(rgb, pixels, [&](size_t x) { return bits_to_bytes(scanline + x / 8); });
        case UnpackLayout::even_of_6: {
            // Every even byte of the scanline, 16 output bytes a step; a
            // step may end inside a pixel, which the caller writes again.
            const size_t bytes = 3 * pixels;
            size_t i = 0;
            for (; i + 16 <= bytes; i += 16) vst1q_u8(rgb + i, vld2q_u8(scanline + 2 * i).val[0]);
            return i / 3;
        }
        case UnpackLayout::even_of_8: {
            // Bytes 0 and 4 of each pixel (red and blue) alternate in the
            // first register of a four-way split, bytes 2 and 6 (green and
            // alpha) in the third; unzipping two loads' registers parts them.
            size_t x = 0;
            for (; x + 16 <= pixels; x += 16) {
                const uint8x16x4_t first = vld4q_u8(scanline + 8 * x);
                const uint8x16x4_t second = vld4q_u8(scanline + 8 * x + 64);
                vst3q_u8(rgb + 3 * x, uint8x16x3_t{{vuzp1q_u8(first.val[0], second.val[0]),
                                                    vuzp1q_u8(first.val[2], second.val[2]),
                                                    vuzp2q_u8(first.val[0], second.val[0])}});
            }
            return x;
        }
        case UnpackLayout::bits_2:
            return spread_samples(rgb, pixels, [&](size_t x) {
                return vmulq_u8(two_bit_samples(scanline + x / 4), vdupq_n_u8(85));
            });
        case UnpackLayout::bits_4:
            return spread_samples(rgb, pixels,
                                  [&](size_t x) { return vmulq_u8(nibbles(scanline + x / 2), vdupq_n_u8(17)); });
        case UnpackLayout::palette_bits_1: return palette_bits(scanline, rgb, pixels, palette);
        case UnpackLayout::palette_bits_2:
            return palette_nibbles(rgb, pixels, palette, [&](size_t x) { return two_bit_samples(scanline + x / 4); });
        case UnpackLayout::palette_bits_4:
            return palette_nibbles(rgb, pixels, palette, [&](size_t x) { return nibbles(scanline + x / 2); });
        case UnpackLayout::palette_8: return palette_bytes(scanline, rgb, pixels, palette);
    }
    return 0;
}

}  // namespace tessarin::kernels
