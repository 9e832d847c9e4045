// The vector forms of the Adam7 scatter, AVX2 (x86-64, in a library built
// with AVX2 enabled) and NEON (aarch64). Only adam7.cpp calls them, after
// asking simd::avx2_usable() or simd::neon_usable().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessarin::kernels {

// Places the leading pixels of a pass row of `columns` 3-byte pixels at
// every other pixel of `image`, from its first, as adam7_scatter_rgb does,
// and returns how many it placed; the caller places the rest. Reads and
// writes back the pixels in between, within the first `image_bytes` bytes
// of `image`.
size_t scatter_pairs_leading_avx2(const uint8_t* pass_rgb, uint8_t* image, size_t columns,
                                  size_t image_bytes) noexcept;
size_t scatter_pairs_leading_neon(const uint8_t* pass_rgb, uint8_t* image, size_t columns,
                                  size_t image_bytes) noexcept;

// The same for rows of passes 1 to 4, whose pixels lie every `dx` (4 or 8)
// pixels of `image`.
size_t scatter_sparse_leading_avx2(const uint8_t* pass_rgb, uint8_t* image, size_t columns, size_t image_bytes,
                                   size_t dx) noexcept;
size_t scatter_sparse_leading_neon(const uint8_t* pass_rgb, uint8_t* image, size_t columns, size_t image_bytes,
                                   size_t dx) noexcept;

// A step of those vector forms places eight pass pixels (24 bytes) in
// 24 * dx image bytes, sixteen bytes (a block) at a time, and leaves the
// blocks without pass pixels alone. Byte k of a block becomes byte pick[k]
// of the sixteen pass bytes from `source` (0 or 8) of the step's, or stays
// as it is where pick[k] is 0xff: one byte shuffle or table lookup does
// either.
struct ScatterBlock {
    size_t offset;  // of the block in the step's image bytes
    size_t source;
    uint8_t pick[16];
};

inline constexpr size_t scatter_step_pixels = 8;

// Whether image byte j of a step belongs to a pass pixel, and which pass
// byte it then is.
template <size_t Dx>
constexpr bool takes_pass_byte(size_t j) noexcept {
    return j / 3 % Dx == 0;
}

template <size_t Dx>
constexpr size_t pass_byte(size_t j) noexcept {
    return 3 * (j / 3 / Dx) + j % 3;
}

template <size_t Dx>
constexpr bool block_takes_pass_bytes(size_t block) noexcept {
    for (size_t j = 16 * block; j < 16 * block + 16; ++j) {
        if (takes_pass_byte<Dx>(j)) return true;
    }
    return false;
}

template <size_t Dx>
constexpr size_t scatter_block_count() noexcept {
    size_t count = 0;
    for (size_t block = 0; block < 3 * Dx * scatter_step_pixels / 16; ++block) {
        if (block_takes_pass_bytes<Dx>(block)) ++count;
    }
    return count;
}

// The blocks of a step that take pass bytes, in order. At dx 4 and 8 a
// block takes at most two pixels, whose pass bytes lie within six of each
// other, so a block whose last pass byte is 16 or more starts at 8 or more.
template <size_t Dx>
constexpr std::array<ScatterBlock, scatter_block_count<Dx>()> scatter_blocks() noexcept {
    std::array<ScatterBlock, scatter_block_count<Dx>()> blocks{};
    size_t filled = 0;
    for (size_t block = 0; block < 3 * Dx * scatter_step_pixels / 16; ++block) {
        if (!block_takes_pass_bytes<Dx>(block)) continue;
        ScatterBlock& out = blocks[filled++];
        out.offset = 16 * block;
        size_t last = 0;
        for (size_t j = out.offset; j < out.offset + 16; ++j) {
            if (takes_pass_byte<Dx>(j)) last = pass_byte<Dx>(j);
        }
        out.source = last < 16 ? 0 : 8;
        for (size_t k = 0; k < 16; ++k) {
            const size_t j = out.offset + k;
            out.pick[k] = takes_pass_byte<Dx>(j) ? static_cast<uint8_t>(pass_byte<Dx>(j) - out.source) : uint8_t{0xff};
        }
    }
    return blocks;
}

// The steps of scatter_sparse_leading_*: `place(source, block, pick)` is
// the vector form's work on one block.
template <size_t Dx, class Place>
size_t scatter_steps(const uint8_t* pass_rgb, uint8_t* image, size_t columns, size_t image_bytes,
                     Place place) noexcept {
    static constexpr auto blocks = scatter_blocks<Dx>();
    constexpr size_t step_bytes = 3 * Dx * scatter_step_pixels;
    size_t i = 0;
    for (; i + scatter_step_pixels <= columns && 3 * Dx * i + step_bytes <= image_bytes; i += scatter_step_pixels) {
        for (const ScatterBlock& block : blocks) {
            place(pass_rgb + 3 * i + block.source, image + 3 * Dx * i + block.offset, block.pick);
        }
    }
    return i;
}

}  // namespace tessarin::kernels
