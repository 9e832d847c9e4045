#include "kernels/png_row_formats.hpp"

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"
#include "kernels/png_format.hpp"
#include "kernels/png_row_layout.hpp"
#include "kernels/png_unpack.hpp"

namespace tessarin::kernels {

namespace {

// 8-bit RGB scanlines already are RGB rows.
void rgb8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette&) noexcept {
    std::memcpy(rgb.data(), scanline.data(), rgb.size());
}

// 8-bit RGBA: the alpha bytes are dropped.
void rgba8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette&) noexcept {
    png::rgba_to_rgb_row(scanline, rgb, rgb.size() / 3);
}

struct RowFormat {
    int colour_type;
    int bit_depth;
    int channels;
    RowToRgb to_rgb;
};

// Every (colour type, bit depth) that PNG allows, with its channels per
// pixel and its converter to 8-bit RGB.
constexpr RowFormat row_formats[] = {
    {png::color_grey, 1, 1, grey1_to_rgb},
    {png::color_grey, 2, 1, grey2_to_rgb},
    {png::color_grey, 4, 1, grey4_to_rgb},
    {png::color_grey, 8, 1, grey8_to_rgb},
    {png::color_grey, 16, 1, grey16_to_rgb},
    {png::color_rgb, 8, 3, rgb8_to_rgb},
    {png::color_rgb, 16, 3, rgb16_to_rgb},
    {png::color_palette, 1, 1, palette1_to_rgb},
    {png::color_palette, 2, 1, palette2_to_rgb},
    {png::color_palette, 4, 1, palette4_to_rgb},
    {png::color_palette, 8, 1, palette8_to_rgb},
    {png::color_grey_alpha, 8, 2, grey_alpha8_to_rgb},
    {png::color_grey_alpha, 16, 2, grey_alpha16_to_rgb},
    {png::color_rgba, 8, 4, rgba8_to_rgb},
    {png::color_rgba, 16, 4, rgba16_to_rgb},
};

const RowFormat* find_row_format(int colour_type, int bit_depth) noexcept {
    const auto found = std::find_if(std::begin(row_formats), std::end(row_formats), [&](const RowFormat& row) {
        return row.colour_type == colour_type && row.bit_depth == bit_depth;
    });
    return found == std::end(row_formats) ? nullptr : found;
}

}  // namespace

RowToRgb png_row_to_rgb(int colour_type, int bit_depth) noexcept {
    const RowFormat* row = find_row_format(colour_type, bit_depth);
    return row ? row->to_rgb : nullptr;
}

// Filters work on whole bytes: a pixel of less than one byte is filtered
// against the byte before.
bool png_scanline_format(int colour_type, int bit_depth, uint64_t width, ScanlineFormat& format) noexcept {
    const RowFormat* row = find_row_format(colour_type, bit_depth);
    if (!row) return false;
    const auto bits_per_pixel = static_cast<uint64_t>(row->channels * row->bit_depth);
    uint64_t bits = 0;
    if (!checked_mul(width, bits_per_pixel, bits)) return false;
    const uint64_t row_bytes = bits / 8 + (bits % 8 != 0 ? 1 : 0);
    if (row_bytes > SIZE_MAX) return false;
    format = {static_cast<size_t>(std::max<uint64_t>(1, bits_per_pixel / 8)), static_cast<size_t>(row_bytes)};
    return true;
}

}  // namespace tessarin::kernels
