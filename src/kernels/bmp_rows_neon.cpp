// BMP row converters with NEON: 16 pixels per step, split into one register
// per channel and stored interleaved.
#include "kernels/bmp_rows_neon.hpp"

#include <arm_neon.h>

#include "kernels/bmp_channel_scale.hpp"

namespace tessarin::bmp {
namespace {

// One channel of 16 palette indices: four 64-entry table lookups, each
// leaving the lanes whose index is outside its quarter as they are.
uint8x16_t look_up(const std::array<uint8_t, 256>& plane, uint8x16_t index) noexcept {
    const uint8x16_t quarter = vdupq_n_u8(64);
    uint8x16_t value = vqtbl4q_u8(vld1q_u8_x4(plane.data()), index);
    for (size_t start = 64; start < 256; start += 64) {
        index = vsubq_u8(index, quarter);
        value = vqtbx4q_u8(value, vld1q_u8_x4(plane.data() + start), index);
    }
    return value;
}

template <bool green_6_bits>
uint8x16x3_t rgb16_channels(const uint8_t* stored) noexcept {
    uint8x8_t red[2], green[2], blue[2];
    for (int half = 0; half < 2; ++half) {
        const uint16x8_t pixels = vreinterpretq_u16_u8(vld1q_u8(stored + 16 * half));
        const uint16x8_t five_bits = vdupq_n_u16(31);
        auto scaled5 = [](uint16x8_t value) {
            return vmovn_u16(vshrq_n_u16(vmulq_n_u16(value, scale5_multiplier), scale5_shift));
        };
        if constexpr (green_6_bits) {
            red[half] = scaled5(vshrq_n_u16(pixels, 11));
            const uint16x8_t green6 = vandq_u16(vshrq_n_u16(pixels, 5), vdupq_n_u16(63));
            green[half] = vmovn_u16(vshrq_n_u16(vmlaq_n_u16(vdupq_n_u16(scale6_addend), green6, scale6_multiplier),
                                                scale6_shift));
        } else {
            red[half] = scaled5(vandq_u16(vshrq_n_u16(pixels, 10), five_bits));
            green[half] = scaled5(vandq_u16(vshrq_n_u16(pixels, 5), five_bits));
        }
        blue[half] = scaled5(vandq_u16(pixels, five_bits));
    }
    return {{vcombine_u8(red[0], red[1]), vcombine_u8(green[0], green[1]), vcombine_u8(blue[0], blue[1])}};
}

template <bool green_6_bits>
size_t rgb16_leading(const uint8_t* stored, uint8_t* rgb, size_t width) noexcept {
    size_t x = 0;
    for (; x + 16 <= width; x += 16) vst3q_u8(rgb + 3 * x, rgb16_channels<green_6_bits>(stored + 2 * x));
    return x;
}

}  // namespace

size_t palette8_leading_neon(const uint8_t* indices, uint8_t* rgb, size_t width,
                             const std::array<std::array<uint8_t, 256>, 3>& planes) noexcept {
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8x16_t index = vld1q_u8(indices + x);
        vst3q_u8(rgb + 3 * x, uint8x16x3_t{{look_up(planes[0], index), look_up(planes[1], index),
                                            look_up(planes[2], index)}});
    }
    return x;
}

size_t bytes32_leading_neon(const uint8_t* stored, uint8_t* rgb, size_t width,
                            const uint8_t* channel_bytes) noexcept {
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8x16x4_t bytes = vld4q_u8(stored + 4 * x);
        vst3q_u8(rgb + 3 * x, uint8x16x3_t{{bytes.val[channel_bytes[0]], bytes.val[channel_bytes[1]],
                                            bytes.val[channel_bytes[2]]}});
    }
    return x;
}

size_t rgb16_leading_neon(const uint8_t* stored, uint8_t* rgb, size_t width, bool green_6_bits) noexcept {
    return green_6_bits ? rgb16_leading<true>(stored, rgb, width) : rgb16_leading<false>(stored, rgb, width);
}

}  // namespace tessarin::bmp
