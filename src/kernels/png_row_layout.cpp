#include "kernels/png_row_layout.hpp"

#include <cstring>

#include "kernels/png_format.hpp"

#if defined(TESSARIN_AVX2_KERNELS)
#include "kernels/png_row_layout_avx2.hpp"
#include "kernels/simd/avx2.hpp"
#endif
#if defined(TESSARIN_NEON_KERNELS)
#include "kernels/png_row_layout_neon.hpp"
#include "kernels/simd/neon.hpp"
#endif

namespace tessarin::png {

void layout_filter_none(std::span<const uint8_t> pixels, size_t row_bytes, size_t rows,
                        std::span<uint8_t> raw) noexcept {
    const uint8_t* src = pixels.data();
    uint8_t* dst = raw.data();
    for (size_t y = 0; y < rows; ++y) {
        *dst++ = filter_none;
        std::memcpy(dst, src, row_bytes);
        dst += row_bytes;
        src += row_bytes;
    }
}

// With AVX2 a byte shuffle, with NEON de-interleaving loads, do most of the
// row. The rest goes pixel by pixel as one 4-byte load and one 4-byte store;
// the store's fourth byte lands on the next pixel's first, which that pixel
// rewrites. The last pixel is stored as 3 bytes so nothing past the row is
// written.
void rgba_to_rgb_row(std::span<const uint8_t> rgba, std::span<uint8_t> rgb, size_t width) noexcept {
    if (width == 0) return;
    const uint8_t* src = rgba.data();
    uint8_t* dst = rgb.data();
    size_t x = 0;
#if defined(TESSARIN_AVX2_KERNELS)
    if (simd::avx2_usable()) x = rgba_to_rgb_leading_avx2(src, dst, width);
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable()) x = rgba_to_rgb_leading_neon(src, dst, width);
#endif
    for (; x + 1 < width; ++x) std::memcpy(dst + 3 * x, src + 4 * x, 4);
    std::memcpy(dst + 3 * (width - 1), src + 4 * (width - 1), 3);
}

}  // namespace tessarin::png
