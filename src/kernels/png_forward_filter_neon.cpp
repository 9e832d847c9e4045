// The forward filters 16 bytes at a time with NEON. Built only for aarch64,
// where every processor has NEON.
#include <arm_neon.h>

#include "kernels/png_forward_filter_steps.hpp"
#include "kernels/png_forward_filter_vector.hpp"

namespace tessarin::png {
namespace {

struct NeonBytes {
    using Reg = uint8x16_t;
    using Sums = uint64x2_t;
    static constexpr size_t width = 16;

    static Reg load(const uint8_t* from) noexcept { return vld1q_u8(from); }
    static void store(uint8_t* to, Reg bytes) noexcept { vst1q_u8(to, bytes); }
    static Reg sub8(Reg a, Reg b) noexcept { return vsubq_u8(a, b); }

    // The halving add is the exact floor((left + up) / 2) of the 9-bit sum.
    static Reg average(Reg left, Reg up) noexcept { return vhaddq_u8(left, up); }

    // The Paeth predictor in bytes, as in the AVX2 kernels: |p - a| and
    // |p - b| are absolute differences of bytes, and |p - c| their
    // (saturating) sum or their difference.
    static Reg paeth(Reg a, Reg b, Reg c) noexcept {
        const Reg pa = vabdq_u8(b, c);
        const Reg pb = vabdq_u8(a, c);
        const Reg same_sign = vceqq_u8(vcgeq_u8(b, c), vcgeq_u8(a, c));
        const Reg pc = vbslq_u8(same_sign, vqaddq_u8(pa, pb), vabdq_u8(pa, pb));
        const Reg take_a = vandq_u8(vcleq_u8(pa, pb), vcleq_u8(pa, pc));
        return vbslq_u8(take_a, a, vbslq_u8(vcleq_u8(pb, pc), b, c));
    }

    static Sums no_sums() noexcept { return vdupq_n_u64(0); }
    // The magnitudes of the bytes read as signed bytes: abs(-128) stays
    // 0x80, which is 128 unsigned.
    static Sums add_magnitudes(Sums sums, Reg bytes) noexcept {
        const Reg magnitudes = vreinterpretq_u8_s8(vabsq_s8(vreinterpretq_s8_u8(bytes)));
        return vpadalq_u32(sums, vpaddlq_u16(vpaddlq_u8(magnitudes)));
    }
    static uint64_t total(Sums sums) noexcept { return vaddvq_u64(sums); }
};

}  // namespace

size_t filter_row_neon(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t distance) noexcept {
    return filter_row_vector<NeonBytes>(filter_type, row, prev, out, n, distance);
}

size_t filter_candidates_neon(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                              uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n, size_t distance) noexcept {
    return filter_candidates_vector<NeonBytes>(row, prev, sub, up, average, paeth, sums, n, distance);
}

}  // namespace tessarin::png
