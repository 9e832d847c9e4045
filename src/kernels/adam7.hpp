// Adam7 interlacing: the seven passes' pixel grids, where each pass's
// scanlines lie in the inflated stream, and the placing of a pass row's RGB
// pixels in the image row. Pure C++ over byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/png_unpack.hpp"

namespace tessarin::kernels {

// A pass holds the pixels at columns x0, x0 + dx, ... of rows y0, y0 + dy, ...
struct Adam7Pass {
    uint32_t x0, y0, dx, dy;
};

inline constexpr int adam7_pass_count = 7;
inline constexpr Adam7Pass adam7_passes[adam7_pass_count] = {
    {0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2},
};

// How many of start, start + step, ... lie below `size`: a pass's columns
// in an image `size` pixels wide, or its rows in one `size` rows high.
// Exact for every 64-bit size.
constexpr uint64_t adam7_positions(uint64_t size, uint32_t start, uint32_t step) noexcept {
    return size > start ? (size - start - 1) / step + 1 : 0;
}

struct Adam7PassLayout {
    uint64_t columns, rows;
    // One row of the pass; a pass without columns or without rows has no
    // scanlines at all, not even filter type bytes.
    ScanlineFormat format;
    // Where the pass's first filter type byte lies in the inflated stream.
    size_t offset;
};

struct Adam7Layout {
    Adam7PassLayout passes[adam7_pass_count];
    // Every pass's scanlines, filter type bytes included.
    size_t inflated_size;
};

// The passes of an interlaced image; false for an invalid (colour type, bit
// depth) pair or an inflated size past size_t.
bool adam7_layout(uint64_t width, uint64_t height, int colour_type, int bit_depth, Adam7Layout& layout) noexcept;

// Places the pass_rgb.size() / 3 pixels of a pass row at columns x0,
// x0 + dx, ... of `image_row`, which holds them all. For dx 2, 4 and 8 the
// vector forms read and write back the image row's pixels in between
// unchanged, so no other thread may write that row meanwhile.
void adam7_scatter_rgb(std::span<const uint8_t> pass_rgb, std::span<uint8_t> image_row, size_t x0,
                       size_t dx) noexcept;

}  // namespace tessarin::kernels
