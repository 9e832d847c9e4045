#include "kernels/png_row_formats.hpp"

#include <gtest/gtest.h>

#include "random_bytes.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using tessarin::kernels::png_row_to_rgb;
using tessarin::kernels::png_scanline_format;
using tessarin::kernels::RgbPalette;
using tessarin::kernels::ScanlineFormat;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;

// Every (colour type, bit depth) a PNG file may have, with its
// bits per pixel.
struct Pair {
    int colour_type, bit_depth;
    uint64_t bits_per_pixel;
};
constexpr Pair valid_pairs[] = {{0, 1, 1},  {0, 2, 2},  {0, 4, 4},  {0, 8, 8},   {0, 16, 16},
                                {2, 8, 24}, {2, 16, 48}, {3, 1, 1},  {3, 2, 2},   {3, 4, 4},
                                {3, 8, 8},  {4, 8, 16}, {4, 16, 32}, {6, 8, 32}, {6, 16, 64}};

TEST(PngScanlineFormat, WholeBytesOfEveryValidPair) {
    std::vector<uint64_t> widths(18);
    for (size_t i = 0; i < widths.size(); ++i) widths[i] = i;
    widths.push_back(INT32_MAX);
    for (const Pair& pair : valid_pairs) {
        for (uint64_t width : widths) {
            ScanlineFormat format{};
            ASSERT_TRUE(png_scanline_format(pair.colour_type, pair.bit_depth, width, format));
            EXPECT_EQ(format.row_bytes, (width * pair.bits_per_pixel + 7) / 8) << pair.colour_type << "/" << width;
            EXPECT_EQ(format.filter_distance, std::max<uint64_t>(1, pair.bits_per_pixel / 8));
        }
    }
}

TEST(PngScanlineFormat, RefusesOtherPairsAndSizesThatOverflow) {
    const int other_pairs[][2] = {{0, 0}, {0, 3}, {1, 8}, {2, 4}, {3, 16}, {4, 4}, {5, 8}, {6, 1}, {7, 8}, {-1, 8}};
    ScanlineFormat format{};
    for (const auto& pair : other_pairs) {
        EXPECT_FALSE(png_scanline_format(pair[0], pair[1], 1, format)) << pair[0] << "/" << pair[1];
        EXPECT_EQ(png_row_to_rgb(pair[0], pair[1]), nullptr);
    }
    EXPECT_FALSE(png_scanline_format(6, 16, UINT64_MAX / 64 + 1, format));
    ASSERT_TRUE(png_scanline_format(6, 16, UINT64_MAX / 64, format));
    EXPECT_EQ(format.row_bytes, UINT64_MAX / 64 * 8);
    ASSERT_TRUE(png_scanline_format(0, 1, UINT64_MAX, format));
    EXPECT_EQ(format.row_bytes, UINT64_MAX / 8 + 1);
}

TEST(PngRowToRgb, EightBitRgbIsCopiedAndRgbaLosesItsAlpha) {
    const size_t width = 37;
    const RgbPalette palette;
    const Bytes rgba = random_bytes(4 * width, 7);
    Bytes expected, rgb(3 * width, 0xa5);
    for (size_t x = 0; x < width; ++x) expected.insert(expected.end(), &rgba[4 * x], &rgba[4 * x + 3]);
    png_row_to_rgb(6, 8)(rgba, rgb, palette);
    EXPECT_EQ(rgb, expected);
    std::fill(rgb.begin(), rgb.end(), 0xa5);
    png_row_to_rgb(2, 8)(expected, rgb, palette);
    EXPECT_EQ(rgb, expected);
}

}  // namespace
