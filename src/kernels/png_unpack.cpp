#include "kernels/png_unpack.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/png_unpack_vector.hpp"
#include "common/checked.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace tessarin::kernels {
namespace {

// The leading pixels of a row that a vector form converts, where the
// processor has one and it may be used: the scalar loops start after them.
size_t vector_leading([[maybe_unused]] UnpackLayout layout, [[maybe_unused]] std::span<const uint8_t> scanline,
                      std::span<uint8_t> rgb, [[maybe_unused]] const RgbPalette& palette) noexcept {
    [[maybe_unused]] const size_t pixels = rgb.size() / 3;
#if defined(TESSARIN_AVX2_KERNELS)
    if (simd::avx2_usable()) return unpack_leading_avx2(layout, scanline.data(), rgb.data(), pixels, palette.rgb);
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable()) return unpack_leading_neon(layout, scanline.data(), rgb.data(), pixels, palette.rgb);
#endif
    return 0;
}

// Sample `x` of a row of Bits-bit samples (1, 2, 4 or 8), the first in the
// high bits of its byte.
template <unsigned Bits>
unsigned packed_sample(const uint8_t* line, size_t x) noexcept {
    constexpr size_t per_byte = 8 / Bits;
    const auto shift = static_cast<unsigned>(8 - Bits * (x % per_byte + 1));
    return static_cast<unsigned>(line[x / per_byte] >> shift) & ((1u << Bits) - 1);
}

// Greyscale of 1 to 8 bits from pixel `begin` on. Multiplying by 255 over
// the largest sample repeats the sample's bits across the byte.
template <unsigned Bits>
void grey_samples(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, size_t begin) noexcept {
    constexpr unsigned scale = 255 / ((1u << Bits) - 1);
    const size_t pixels = rgb.size() / 3;
    for (size_t x = begin; x < pixels; ++x) {
        std::memset(&rgb[3 * x], static_cast<int>(packed_sample<Bits>(scanline.data(), x) * scale), 3);
    }
}

template <unsigned Bits>
void palette_samples(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette,
                     size_t begin) noexcept {
    const size_t pixels = rgb.size() / 3;
    for (size_t x = begin; x < pixels; ++x) {
        std::memcpy(&rgb[3 * x], &palette.rgb[3 * packed_sample<Bits>(scanline.data(), x)], 3);
    }
}

// Pixels of Stride bytes whose red, green and blue are their bytes Red,
// Green and Blue (the high bytes of 16-bit samples, or a grey byte three
// times), from pixel `begin` on.
template <size_t Stride, size_t Red, size_t Green, size_t Blue>
void pick_bytes(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, size_t begin) noexcept {
    const size_t pixels = rgb.size() / 3;
    const uint8_t* src = scanline.data();
    uint8_t* dst = rgb.data();
    for (size_t x = begin; x < pixels; ++x) {
        dst[3 * x] = src[Stride * x + Red];
        dst[3 * x + 1] = src[Stride * x + Green];
        dst[3 * x + 2] = src[Stride * x + Blue];
    }
}

}  // namespace

int png_bits_per_pixel(int colour_type, int bit_depth) noexcept {
    const bool low_depth = bit_depth == 1 || bit_depth == 2 || bit_depth == 4;
    const bool whole_bytes = bit_depth == 8 || bit_depth == 16;
    switch (colour_type) {
        case png::color_grey: return low_depth || whole_bytes ? bit_depth : 0;
        case png::color_rgb: return whole_bytes ? 3 * bit_depth : 0;
        case png::color_palette: return low_depth || bit_depth == 8 ? bit_depth : 0;
        case png::color_grey_alpha: return whole_bytes ? 2 * bit_depth : 0;
        case png::color_rgba: return whole_bytes ? 4 * bit_depth : 0;
        default: return 0;
    }
}

void grey1_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    grey_samples<1>(scanline, rgb, vector_leading(UnpackLayout::bits_1, scanline, rgb, palette));
}

void grey2_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    grey_samples<2>(scanline, rgb, vector_leading(UnpackLayout::bits_2, scanline, rgb, palette));
}

void grey4_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    grey_samples<4>(scanline, rgb, vector_leading(UnpackLayout::bits_4, scanline, rgb, palette));
}

void grey8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    grey_samples<8>(scanline, rgb, vector_leading(UnpackLayout::first_of_1, scanline, rgb, palette));
}

void grey16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    pick_bytes<2, 0, 0, 0>(scanline, rgb, vector_leading(UnpackLayout::first_of_2, scanline, rgb, palette));
}

void rgb16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    pick_bytes<6, 0, 2, 4>(scanline, rgb, vector_leading(UnpackLayout::even_of_6, scanline, rgb, palette));
}

void palette1_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    palette_samples<1>(scanline, rgb, palette, vector_leading(UnpackLayout::palette_bits_1, scanline, rgb, palette));
}

void palette2_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    palette_samples<2>(scanline, rgb, palette, vector_leading(UnpackLayout::palette_bits_2, scanline, rgb, palette));
}

void palette4_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    palette_samples<4>(scanline, rgb, palette, vector_leading(UnpackLayout::palette_bits_4, scanline, rgb, palette));
}

void palette8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    palette_samples<8>(scanline, rgb, palette, vector_leading(UnpackLayout::palette_8, scanline, rgb, palette));
}

void grey_alpha8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb,
                        const RgbPalette& palette) noexcept {
    pick_bytes<2, 0, 0, 0>(scanline, rgb, vector_leading(UnpackLayout::first_of_2, scanline, rgb, palette));
}

void grey_alpha16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb,
                         const RgbPalette& palette) noexcept {
    pick_bytes<4, 0, 0, 0>(scanline, rgb, vector_leading(UnpackLayout::first_of_4, scanline, rgb, palette));
}

void rgba16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette& palette) noexcept {
    pick_bytes<8, 0, 2, 4>(scanline, rgb, vector_leading(UnpackLayout::even_of_8, scanline, rgb, palette));
}

}  // namespace tessarin::kernels
