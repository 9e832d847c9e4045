#include "kernels/unfilter_any.hpp"

#include "kernels/unfilter_any_vector.hpp"
#include "kernels/png_format.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace tessarin::kernels {
namespace {

bool unfilter_with_vectors([[maybe_unused]] int filter_type, [[maybe_unused]] const uint8_t* line,
                           [[maybe_unused]] const uint8_t* prev, [[maybe_unused]] uint8_t* out,
                           [[maybe_unused]] size_t n, [[maybe_unused]] size_t bpp) noexcept {
#if defined(TESSARIN_AVX2_KERNELS)
    if (simd::avx2_usable()) return unfilter_any_avx2(filter_type, line, prev, out, n, bpp);
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable()) return unfilter_any_neon(filter_type, line, prev, out, n, bpp);
#endif
    return false;
}

}  // namespace

bool unfilter_sub_vector(std::span<const uint8_t> scanline, std::span<uint8_t> out,
                         size_t bytes_per_pixel) noexcept {
    return unfilter_with_vectors(png::filter_sub, scanline.data(), nullptr, out.data(), scanline.size(),
                                 bytes_per_pixel);
}

bool unfilter_average_vector(std::span<const uint8_t> scanline, std::span<const uint8_t> prev,
                             std::span<uint8_t> out, size_t bytes_per_pixel) noexcept {
    return unfilter_with_vectors(png::filter_average, scanline.data(), prev.data(), out.data(), scanline.size(),
                                 bytes_per_pixel);
}

bool unfilter_paeth_vector(std::span<const uint8_t> scanline, std::span<const uint8_t> prev,
                           std::span<uint8_t> out, size_t bytes_per_pixel) noexcept {
    return unfilter_with_vectors(png::filter_paeth, scanline.data(), prev.data(), out.data(), scanline.size(),
                                 bytes_per_pixel);
}

}  // namespace tessarin::kernels
