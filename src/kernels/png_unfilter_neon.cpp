// Kernels with NEON: Average and Paeth pixel by pixel, and runs of two rows
// per 128-bit register. Built only for aarch64, where every processor has
// NEON. Sub's vector form, at every distance, is unfilter_any's.
#include "kernels/png_unfilter_neon.hpp"

#include <arm_neon.h>

#include "kernels/png_row_runs.hpp"

namespace tessarin::png {
namespace {

// The 16-bit lane operations of the run steps; row k in lanes 4k to 4k+3.
struct NeonRows {
    using Reg = int16x8_t;
    static constexpr size_t rows = 2;
    static Reg zero() noexcept { return vdupq_n_s16(0); }
    static Reg add16(Reg a, Reg b) noexcept { return vaddq_s16(a, b); }
    static Reg sub16(Reg a, Reg b) noexcept { return vsubq_s16(a, b); }
    static Reg min16(Reg a, Reg b) noexcept { return vminq_s16(a, b); }
    static Reg max16(Reg a, Reg b) noexcept { return vmaxq_s16(a, b); }
    static Reg greater16(Reg a, Reg b) noexcept { return vreinterpretq_s16_u16(vcgtq_s16(a, b)); }
    static Reg halve16(Reg a) noexcept { return vshrq_n_s16(a, 1); }
    static Reg bit_and(Reg a, Reg b) noexcept { return vandq_s16(a, b); }
    static Reg add8(Reg a, Reg b) noexcept {
        return vreinterpretq_s16_u8(vaddq_u8(vreinterpretq_u8_s16(a), vreinterpretq_u8_s16(b)));
    }
    static Reg sub8(Reg a, Reg b) noexcept {
        return vreinterpretq_s16_u8(vsubq_u8(vreinterpretq_u8_s16(a), vreinterpretq_u8_s16(b)));
    }

    // Four bytes of each row, side by side, to 16-bit lanes.
    static Reg widen_bytes(uint64_t bytes) noexcept { return vreinterpretq_s16_u16(vmovl_u8(vcreate_u8(bytes))); }
    static Reg widen(const uint32_t (&pixels)[rows]) noexcept {
        return widen_bytes(pixels[0] | static_cast<uint64_t>(pixels[1]) << 32);
    }
    // The first row's pixel, and the second row's the one above it.
    static Reg below_first_row(uint32_t first_pixel, Reg above) noexcept {
        return vcombine_s16(vget_low_s16(widen_bytes(first_pixel)), vget_low_s16(above));
    }
    static uint64_t narrow(Reg pixels) noexcept { return vget_lane_u64(vreinterpret_u64_u8(vqmovun_s16(pixels)), 0); }
    static void store(uint8_t* const (&targets)[rows], Reg pixels) noexcept {
        const uint64_t bytes = narrow(pixels);
        const uint32_t rows_bytes[rows] = {static_cast<uint32_t>(bytes), static_cast<uint32_t>(bytes >> 32)};
        for (size_t k = 0; k < rows; ++k) std::memcpy(targets[k], &rows_bytes[k], 4);
    }
};

template <size_t Bytes>
uint8x8_t load_pixel(const uint8_t* src) noexcept {
    return vreinterpret_u8_u32(vdup_n_u32(load_pixel_bytes<Bytes>(src)));
}

template <size_t Bytes>
void store_pixel(uint8_t* dst, uint8x8_t pixel) noexcept {
    store_pixel_bytes<Bytes>(dst, vget_lane_u32(vreinterpret_u32_u8(pixel), 0));
}

// The halving add is the exact floor((left + up) / 2) of the 9-bit sum.
template <size_t Bpp>
void unfilter_average_pixels(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    uint8x8_t left = vdup_n_u8(0);
    const size_t i = for_each_pixel<Bpp>(0, n, [&]<size_t Bytes>(size_t at) {
        left = vadd_u8(load_pixel<Bytes>(line + at), vhadd_u8(left, load_pixel<Bytes>(prev + at)));
        store_pixel<Bytes>(out + at, left);
    });
    unfilter_average_scalar(line, prev, out, i, n, Bpp);
}

template <size_t Bpp>
void unfilter_paeth_pixels(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    int16x8_t left = NeonRows::zero();
    int16x8_t up_left = NeonRows::zero();
    const size_t i = for_each_pixel<Bpp>(0, n, [&]<size_t Bytes>(size_t at) {
        const int16x8_t up = NeonRows::widen_bytes(load_pixel_bytes<Bytes>(prev + at));
        left = paeth_step<NeonRows>(NeonRows::widen_bytes(load_pixel_bytes<Bytes>(line + at)), left, up, up_left);
        store_pixel_bytes<Bytes>(out + at, static_cast<uint32_t>(NeonRows::narrow(left)));
        up_left = up;
    });
    unfilter_paeth_scalar(line, prev, out, i, n, Bpp);
}

}  // namespace

bool unfilter_average_neon(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp) noexcept {
    if (bpp == 3) unfilter_average_pixels<3>(line, prev, out, n);
    else if (bpp == 4) unfilter_average_pixels<4>(line, prev, out, n);
    else return false;
    return true;
}

bool unfilter_paeth_neon(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp) noexcept {
    if (bpp == 3) unfilter_paeth_pixels<3>(line, prev, out, n);
    else if (bpp == 4) unfilter_paeth_pixels<4>(line, prev, out, n);
    else return false;
    return true;
}

bool unfilter_run_neon(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                       size_t n, size_t bpp) noexcept {
    return unfilter_run_vector<NeonRows>(filter_type, lines, prev, outs, n, bpp);
}

}  // namespace tessarin::png
