// Dropping alpha with NEON's de-interleaving loads and interleaving stores:
// sixteen pixels split into four channel registers, three of them stored
// back interleaved.
#include "kernels/png_row_layout_neon.hpp"

#include <arm_neon.h>

namespace tessarin::png {

size_t rgba_to_rgb_leading_neon(const uint8_t* rgba, uint8_t* rgb, size_t width) noexcept {
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8x16x4_t channels = vld4q_u8(rgba + 4 * x);
        vst3q_u8(rgb + 3 * x, uint8x16x3_t{{channels.val[0], channels.val[1], channels.val[2]}});
    }
    return x;
}

}  // namespace tessarin::png
