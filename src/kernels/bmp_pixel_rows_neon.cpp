// Swapping the outer channels of 3-byte pixels with NEON's de-interleaving
// load and interleaving store: sixteen pixels split into three channel
// registers and stored back with the first and third exchanged.
#include "kernels/bmp_pixel_rows_neon.hpp"

#include <arm_neon.h>

namespace tessarin::bmp {

size_t swap_outer_channels_leading_neon(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8x16x3_t channels = vld3q_u8(src + 3 * x);
        vst3q_u8(dst + 3 * x, uint8x16x3_t{{channels.val[2], channels.val[1], channels.val[0]}});
    }
    return x;
}

}  // namespace tessarin::bmp
