#include "kernels/adam7.hpp"

#include <cstring>
#include <limits>

#include "kernels/adam7_vector.hpp"
#include "common/checked.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace tessarin::kernels {
namespace {

// The leading pixels of a pass row (every dx-th column, dx 2, 4 or 8) that
// a vector form places, where the processor has one and it may be used.
size_t vector_leading([[maybe_unused]] const uint8_t* pass_rgb, [[maybe_unused]] uint8_t* image,
                      [[maybe_unused]] size_t columns, [[maybe_unused]] size_t image_bytes, size_t dx) noexcept {
    if (dx != 2 && dx != 4 && dx != 8) return 0;
#if defined(TESSARIN_AVX2_KERNELS)
    if (simd::avx2_usable()) {
        return dx == 2 ? scatter_pairs_leading_avx2(pass_rgb, image, columns, image_bytes)
                       : scatter_sparse_leading_avx2(pass_rgb, image, columns, image_bytes, dx);
    }
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable()) {
        return dx == 2 ? scatter_pairs_leading_neon(pass_rgb, image, columns, image_bytes)
                       : scatter_sparse_leading_neon(pass_rgb, image, columns, image_bytes, dx);
    }
#endif
    return 0;
}

}  // namespace

bool adam7_layout(uint64_t width, uint64_t height, int colour_type, int bit_depth, Adam7Layout& layout) noexcept {
    uint64_t total = 0;
    for (int p = 0; p < adam7_pass_count; ++p) {
        const Adam7Pass& pass = adam7_passes[p];
        Adam7PassLayout& out = layout.passes[p];
        out.columns = adam7_positions(width, pass.x0, pass.dx);
        out.rows = adam7_positions(height, pass.y0, pass.dy);
        if (!png_scanline_format(colour_type, bit_depth, out.columns, out.format)) return false;
        out.offset = static_cast<size_t>(total);
        if (out.columns == 0 || out.rows == 0) continue;
        uint64_t pass_bytes = 0;
        if (!checked_mul(out.rows, uint64_t{out.format.row_bytes} + 1, pass_bytes) ||
            !checked_add(total, pass_bytes, total) || total > std::numeric_limits<size_t>::max()) {
            return false;
        }
    }
    layout.inflated_size = static_cast<size_t>(total);
    return true;
}

void adam7_scatter_rgb(std::span<const uint8_t> pass_rgb, std::span<uint8_t> image_row, size_t x0,
                       size_t dx) noexcept {
    const size_t columns = pass_rgb.size() / 3;
    if (columns == 0) return;
    const uint8_t* src = pass_rgb.data();
    uint8_t* dst = image_row.data() + 3 * x0;
    if (dx == 1) {
        std::memcpy(dst, src, 3 * columns);
        return;
    }
    size_t i = vector_leading(src, dst, columns, image_row.size() - 3 * x0, dx);
    for (; i < columns; ++i) std::memcpy(dst + 3 * dx * i, src + 3 * i, 3);
}

}  // namespace tessarin::kernels
