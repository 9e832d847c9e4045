// Forward filters 16 bytes at a time with NEON. Every prediction reads only
// original bytes, so nothing is carried from one step to the next. Built
// only for aarch64, where every processor has NEON.
#include "png/forward_filter_neon.hpp"

#include <arm_neon.h>

#include "png/format.hpp"

namespace tessarin::png {
namespace {

constexpr size_t pixel_bytes = 3;
constexpr size_t step = 16;

// The byte and its three neighbours at byte i of a row: left (a), up (b)
// and upper left (c).
struct Neighbours {
    uint8x16_t byte, left, up, up_left;
};

Neighbours load(const uint8_t* row, const uint8_t* prev, size_t i) noexcept {
    return {vld1q_u8(row + i), vld1q_u8(row + i - pixel_bytes), vld1q_u8(prev + i),
            vld1q_u8(prev + i - pixel_bytes)};
}

// The Paeth predictor in bytes, without widening: with p = a + b - c,
// |p - a| = |b - c| and |p - b| = |a - c| fit a byte, and |p - c| is
// |(b - c) + (a - c)|, the sum of those two when b - c and a - c have the
// same sign and their difference otherwise. The sum may saturate at 255,
// which keeps both comparisons with it true, as they are for the exact sum.
uint8x16_t paeth_prediction(uint8x16_t a, uint8x16_t b, uint8x16_t c) noexcept {
    const uint8x16_t pa = vabdq_u8(b, c);
    const uint8x16_t pb = vabdq_u8(a, c);
    const uint8x16_t same_sign = vceqq_u8(vcgeq_u8(b, c), vcgeq_u8(a, c));
    const uint8x16_t pc = vbslq_u8(same_sign, vqaddq_u8(pa, pb), vabdq_u8(pa, pb));
    const uint8x16_t take_a = vandq_u8(vcleq_u8(pa, pb), vcleq_u8(pa, pc));
    return vbslq_u8(take_a, a, vbslq_u8(vcleq_u8(pb, pc), b, c));
}

uint8x16_t filtered(int filter_type, const Neighbours& n) noexcept {
    switch (filter_type) {
        case filter_sub:
            return vsubq_u8(n.byte, n.left);
        case filter_up:
            return vsubq_u8(n.byte, n.up);
        case filter_average:
            // The halving add is the exact floor((left + up) / 2) of the 9-bit sum.
            return vsubq_u8(n.byte, vhaddq_u8(n.left, n.up));
        default:
            return vsubq_u8(n.byte, paeth_prediction(n.left, n.up, n.up_left));
    }
}

// Adds the magnitudes of 16 filtered bytes, read as signed bytes, to two
// 64-bit lanes. abs(-128) stays 0x80, which is 128 unsigned.
uint64x2_t add_magnitudes(uint64x2_t sums, uint8x16_t bytes) noexcept {
    const uint8x16_t magnitudes = vreinterpretq_u8_s8(vabsq_s8(vreinterpretq_s8_u8(bytes)));
    return vpadalq_u32(sums, vpaddlq_u16(vpaddlq_u8(magnitudes)));
}

template <int FilterType>
size_t filter_row_steps(const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    size_t i = pixel_bytes;
    for (; i + step <= n; i += step) vst1q_u8(out + i, filtered(FilterType, load(row, prev, i)));
    return i;
}

}  // namespace

size_t filter_row_neon(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    switch (filter_type) {
        case filter_sub:
            return filter_row_steps<filter_sub>(row, prev, out, n);
        case filter_up:
            return filter_row_steps<filter_up>(row, prev, out, n);
        case filter_average:
            return filter_row_steps<filter_average>(row, prev, out, n);
        default:
            return filter_row_steps<filter_paeth>(row, prev, out, n);
    }
}

size_t filter_candidates_neon(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n) noexcept {
    uint64x2_t totals[5] = {vdupq_n_u64(0), vdupq_n_u64(0), vdupq_n_u64(0), vdupq_n_u64(0), vdupq_n_u64(0)};
    size_t i = pixel_bytes;
    for (; i + step <= n; i += step) {
        const Neighbours neighbours = load(row, prev, i);
        const uint8x16_t types[4] = {filtered(filter_sub, neighbours), filtered(filter_up, neighbours),
                                     filtered(filter_average, neighbours), filtered(filter_paeth, neighbours)};
        uint8_t* const outs[4] = {sub, up, average, paeth};
        totals[0] = add_magnitudes(totals[0], neighbours.byte);
        for (size_t k = 0; k < 4; ++k) {
            vst1q_u8(outs[k] + i, types[k]);
            totals[k + 1] = add_magnitudes(totals[k + 1], types[k]);
        }
    }
    for (size_t k = 0; k < 5; ++k) sums[k] += vaddvq_u64(totals[k]);
    return i;
}

}  // namespace tessarin::png
