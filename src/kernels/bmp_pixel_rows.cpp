#include "kernels/bmp_pixel_rows.hpp"

#include <algorithm>
#include <cstring>

#if defined(TESSARIN_AVX2_KERNELS)
#include "kernels/bmp_pixel_rows_avx2.hpp"
#include "kernels/simd/avx2.hpp"
#endif
#if defined(TESSARIN_NEON_KERNELS)
#include "kernels/bmp_pixel_rows_neon.hpp"
#include "kernels/simd/neon.hpp"
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
// and 2 bytes behind (last channels; for the first word, its own bytes
// moved up); the last few pixels go byte by byte, so the shifted loads stay
// inside the row.
//
// `dst` may also be `src` itself or lie before it (a row moved down in the
// same buffer): every step reads all it needs before it writes, reads
// nothing an earlier step wrote, and writes nothing past the bytes it read.
void swap_outer_channels(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
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
    for (; 3 * x + 26 <= 3 * width; x += 8) {
        const size_t at = 3 * x;
        uint64_t swapped[3];
        for (unsigned word = 0; word < 3; ++word) {
            const uint8_t* base = src + at + 8 * word;
            const uint64_t behind = word == 0 ? load_word(base) << 16 : load_word(base - 2);
            swapped[word] = (load_word(base + 2) & first_channel[word]) |
                            (load_word(base) & middle_channel[word]) | (behind & last_channel[word]);
        }
        for (unsigned word = 0; word < 3; ++word) std::memcpy(dst + at + 8 * word, &swapped[word], 8);
    }
    for (; x < width; ++x) {
        const uint8_t first = src[3 * x], middle = src[3 * x + 1], last = src[3 * x + 2];
        dst[3 * x] = last;
        dst[3 * x + 1] = middle;
        dst[3 * x + 2] = first;
    }
}

// Rows `upper` and `lower` of `width` pixels exchanged, the outer channels
// of every pixel swapped on the way, a stretch at a time through a buffer on
// the stack.
void exchange_rows_swapping_channels(uint8_t* upper, uint8_t* lower, size_t width) noexcept {
    constexpr size_t stretch = 1024;
    uint8_t held[3 * stretch];
    for (size_t x = 0; x < width; x += stretch) {
        const size_t count = std::min(stretch, width - x);
        std::memcpy(held, upper + 3 * x, 3 * count);
        swap_outer_channels(lower + 3 * x, upper + 3 * x, count);
        swap_outer_channels(held, lower + 3 * x, count);
    }
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

// Stored rows sit at multiples of `stride`, pixel rows at multiples of
// 3 * width, no later: walked from the first row down, each row moves to
// where no row still to be read lies. Bottom-up rows are first moved so,
// then exchanged in pairs from the outside in.
void stored_rows_to_rgb_in_place(std::span<uint8_t> buffer, size_t width, size_t rows, size_t stride,
                                 bool bottom_up) noexcept {
    if (rows == 0 || width == 0) return;
    uint8_t* data = buffer.data();
    const size_t row_bytes = 3 * width;
    if (!bottom_up) {
        if (stride == row_bytes) return swap_outer_channels(data, data, width * rows);
        for (size_t row = 0; row < rows; ++row) swap_outer_channels(data + row * stride, data + row * row_bytes, width);
        return;
    }
    if (stride != row_bytes) {
        for (size_t row = 1; row < rows; ++row) std::memmove(data + row * row_bytes, data + row * stride, row_bytes);
    }
    for (size_t upper = 0, lower = rows - 1; upper < lower; ++upper, --lower) {
        exchange_rows_swapping_channels(data + upper * row_bytes, data + lower * row_bytes, width);
    }
    if (rows % 2 == 1) {
        uint8_t* middle = data + rows / 2 * row_bytes;
        swap_outer_channels(middle, middle, width);
    }
}

}  // namespace tessarin::bmp
