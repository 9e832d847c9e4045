#include "bmp/pixel_rows.hpp"

#include <algorithm>
#include <cstring>

#if defined(TESSARIN_AVX2_KERNELS)
#include "bmp/pixel_rows_avx2.hpp"
#include "simd/avx2.hpp"
#endif
#if defined(TESSARIN_NEON_KERNELS)
#include "bmp/pixel_rows_neon.hpp"
#include "simd/neon.hpp"
#endif

namespace tessarin::bmp {
namespace {

uint64_t load_word(const uint8_t* src) noexcept {
    uint64_t word = 0;
    std::memcpy(&word, src, sizeof word);
    return word;
}

// Byte masks of three consecutive little-endian 8-byte words starting on a
// pixel boundary: which bytes are a pixel's first, middle and last channel.
constexpr uint64_t channel_mask(unsigned channel, unsigned word) noexcept {
    uint64_t mask = 0;
    for (unsigned byte = 0; byte < 8; ++byte) {
        if ((8 * word + byte) % 3 == channel) mask |= uint64_t{0xff} << (8 * byte);
    }
    return mask;
}

// Swapping the first and third byte of each 3-byte pixel turns BGR into RGB
// and back. With AVX2 a byte shuffle, with NEON de-interleaving loads, do
// most of the row. Otherwise blocks of 8 pixels go as three words, each
// combined from the words 2 bytes ahead (first channels), in place (middle)
// and 2 bytes behind (last channels); the first pixel and the last few go
// byte by byte, so the shifted loads stay inside the row.
void swap_outer_channels(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    const auto swap_pixel = [&](size_t x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
    };
    constexpr uint64_t first_channel[3] = {channel_mask(0, 0), channel_mask(0, 1),
                                           channel_mask(0, 2)};
    constexpr uint64_t middle_channel[3] = {channel_mask(1, 0), channel_mask(1, 1),
                                            channel_mask(1, 2)};
    constexpr uint64_t last_channel[3] = {channel_mask(2, 0), channel_mask(2, 1),
                                          channel_mask(2, 2)};
    size_t x = 0;
#if defined(TESSARIN_AVX2_KERNELS)
    if (simd::avx2_usable()) x = swap_outer_channels_leading_avx2(src, dst, width);
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable()) x = swap_outer_channels_leading_neon(src, dst, width);
#endif
    if (x == 0) {
        if (width == 0) return;
        swap_pixel(0);
        x = 1;
    }
    for (; 3 * x + 26 <= 3 * width; x += 8) {
        const size_t at = 3 * x;
        for (unsigned word = 0; word < 3; ++word) {
            const uint8_t* base = src + at + 8 * word;
            const uint64_t swapped = (load_word(base + 2) & first_channel[word]) |
                                     (load_word(base) & middle_channel[word]) |
                                     (load_word(base - 2) & last_channel[word]);
            std::memcpy(dst + at + 8 * word, &swapped, sizeof swapped);
        }
    }
    for (; x < width; ++x) swap_pixel(x);
}

}  // namespace

void bgr_to_rgb_row(std::span<const uint8_t> bgr, std::span<uint8_t> rgb, size_t width) noexcept {
    swap_outer_channels(bgr.data(), rgb.data(), width);
}

void rgb_to_bgr_padded_row(std::span<const uint8_t> rgb, std::span<uint8_t> out,
                           size_t width) noexcept {
    swap_outer_channels(rgb.data(), out.data(), width);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(3 * width), out.end(), uint8_t{0});
}

}  // namespace tessarin::bmp
