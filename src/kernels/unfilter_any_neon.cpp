// Sub at 1, 2, 3, 4, 6 and 8 bytes per pixel, Average and Paeth at 6 and 8,
// with NEON: Sub as prefix sums over 16-byte loads, Average and Paeth a
// pixel per step. Built only for aarch64, where every processor has NEON.
#include <arm_neon.h>

#include <cstring>

#include "kernels/unfilter_any_vector.hpp"
#include "kernels/png_format.hpp"

namespace tessarin::kernels {
namespace {

// Sub as a prefix sum over the whole pixels of one 16-byte load: shifted
// adds sum each pixel with those before it in the register, and the sum of
// every pixel before the register, spread over each pixel slot by one table
// lookup, adds the rest; the chain carried from one register to the next
// is a single add. Each store writes 16 bytes; any past the whole pixels
// (at 6 bytes per pixel) are written again by the next step or the scalar
// tail.
template <size_t Bpp>
void unfilter_sub_prefix(const uint8_t* line, uint8_t* out, size_t n) noexcept {
    constexpr size_t step = 16 / Bpp * Bpp;
    uint8_t spread[16];
    // Indexes past 15 read as 0.
    for (size_t i = 0; i < 16; ++i) spread[i] = i < step ? static_cast<uint8_t>(step - Bpp + i % Bpp) : 0xff;
    const uint8x16_t spread_last = vld1q_u8(spread);
    const uint8x16_t zero = vdupq_n_u8(0);
    uint8x16_t carry = zero;
    size_t i = 0;
    for (; i + 16 <= n; i += step) {
        uint8x16_t sums = vld1q_u8(line + i);
        // vextq_u8(zero, sums, 16 - k) moves the bytes k places up.
        sums = vaddq_u8(sums, vextq_u8(zero, sums, 16 - Bpp));
        if constexpr (2 * Bpp < step) sums = vaddq_u8(sums, vextq_u8(zero, sums, 16 - 2 * Bpp));
        if constexpr (4 * Bpp < step) sums = vaddq_u8(sums, vextq_u8(zero, sums, 16 - 4 * Bpp));
        if constexpr (8 * Bpp < step) sums = vaddq_u8(sums, vextq_u8(zero, sums, 16 - 8 * Bpp));
        vst1q_u8(out + i, vaddq_u8(sums, carry));
        carry = vaddq_u8(carry, vqtbl1q_u8(sums, spread_last));
    }
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(line[i] + (i >= Bpp ? out[i - Bpp] : 0));
}

// `count` bytes (at most 8) in the low lanes of a register, the rest zero.
uint8x8_t load_bytes(const uint8_t* src, size_t count) noexcept {
    uint64_t bytes = 0;
    std::memcpy(&bytes, src, count);
    return vcreate_u8(bytes);
}

void store_bytes(uint8_t* dst, uint8x8_t bytes, size_t count) noexcept {
    const uint64_t low = vget_lane_u64(vreinterpret_u64_u8(bytes), 0);
    std::memcpy(dst, &low, count);
}

// The pixels of an n-byte row one step each, the last one perhaps partial.
template <size_t Bpp, class Step>
void pixel_by_pixel(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n, Step step) noexcept {
    uint8x8_t left = vdup_n_u8(0), up_left = vdup_n_u8(0);
    size_t i = 0;
    const auto advance = [&](size_t count) {
        const uint8x8_t up = load_bytes(prev + i, count);
        left = step(load_bytes(line + i, count), left, up, up_left);
        store_bytes(out + i, left, count);
        up_left = up;
    };
    for (; i + Bpp <= n; i += Bpp) advance(Bpp);
    if (i < n) advance(n - i);
}

// The halving add is the exact floor((left + up) / 2) of the 9-bit sum.
uint8x8_t average_step(uint8x8_t filtered, uint8x8_t left, uint8x8_t up, uint8x8_t) noexcept {
    return vadd_u8(filtered, vhadd_u8(left, up));
}

// Paeth with the distances in 16-bit lanes: left unless its distance from
// left + up - up_left is more than one of the others, then up unless
// up_left is strictly nearer.
uint8x8_t paeth_step(uint8x8_t filtered, uint8x8_t left, uint8x8_t up, uint8x8_t up_left) noexcept {
    const uint16x8_t from_left = vabdl_u8(up, up_left);
    const uint16x8_t from_up = vabdl_u8(left, up_left);
    const uint16x8_t from_up_left = vreinterpretq_u16_s16(vabsq_s16(vaddq_s16(
        vreinterpretq_s16_u16(vsubl_u8(up, up_left)), vreinterpretq_s16_u16(vsubl_u8(left, up_left)))));
    const uint8x8_t not_left = vmovn_u16(vcgtq_u16(from_left, vminq_u16(from_up, from_up_left)));
    const uint8x8_t up_or_up_left = vbsl_u8(vmovn_u16(vcgtq_u16(from_up, from_up_left)), up_left, up);
    return vadd_u8(filtered, vbsl_u8(not_left, up_or_up_left, left));
}

template <size_t Bpp>
bool unfilter_at(int filter_type, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    if (filter_type == png::filter_sub) {
        unfilter_sub_prefix<Bpp>(line, out, n);
        return true;
    }
    if constexpr (Bpp >= 6) {
        if (filter_type == png::filter_average) {
            pixel_by_pixel<Bpp>(line, prev, out, n, average_step);
            return true;
        }
        if (filter_type == png::filter_paeth) {
            pixel_by_pixel<Bpp>(line, prev, out, n, paeth_step);
            return true;
        }
    }
    return false;
}

}  // namespace

bool unfilter_any_neon(int filter_type, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
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
