// Rows of Adam7 passes 5 and 6 with NEON: eight pass pixels a step, split
// into channels, each zipped with the odd pixels of sixteen image pixels;
// rows of passes 1 to 4 by a table lookup a block of sixteen image bytes
// at a time.
// Built only for aarch64, where every processor has NEON.
#include <arm_neon.h>

#include "kernels/adam7_vector.hpp"

namespace tessarin::kernels {

size_t scatter_pairs_leading_neon(const uint8_t* pass_rgb, uint8_t* image, size_t columns,
                                  size_t image_bytes) noexcept {
    size_t i = 0;
    for (; i + 8 <= columns && 6 * i + 48 <= image_bytes; i += 8) {
        const uint8x8x3_t pass = vld3_u8(pass_rgb + 3 * i);
        uint8x16x3_t row = vld3q_u8(image + 6 * i);
        for (size_t channel = 0; channel < 3; ++channel) {
            const uint8x16_t odd = vuzp2q_u8(row.val[channel], row.val[channel]);
            row.val[channel] = vzip1q_u8(vcombine_u8(pass.val[channel], pass.val[channel]), odd);
        }
        vst3q_u8(image + 6 * i, row);
    }
    return i;
}

size_t scatter_sparse_leading_neon(const uint8_t* pass_rgb, uint8_t* image, size_t columns, size_t image_bytes,
                                   size_t dx) noexcept {
    // The lookup leaves a byte whose pick is out of the table (0xff) as it is.
    const auto place = [](const uint8_t* source, uint8_t* block, const uint8_t* pick) {
        vst1q_u8(block, vqtbx1q_u8(vld1q_u8(block), vld1q_u8(source), vld1q_u8(pick)));
    };
    return dx == 4 ? scatter_steps<4>(pass_rgb, image, columns, image_bytes, place)
                   : scatter_steps<8>(pass_rgb, image, columns, image_bytes, place);
}

}  // namespace tessarin::kernels
