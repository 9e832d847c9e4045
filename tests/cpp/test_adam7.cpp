#include "kernels/adam7.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <tuple>
#include <vector>

#include "random_bytes.hpp"
#include "vector_kernels.hpp"

namespace {

using tessarin::kernels::adam7_layout;
using tessarin::kernels::adam7_passes;
using tessarin::kernels::adam7_positions;
using tessarin::kernels::adam7_scatter_rgb;
using tessarin::kernels::Adam7Layout;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::VectorKernels;

// Which of 0 to size - 1 are start modulo step, by looking at each: a
// pass's columns or rows.
std::vector<uint64_t> positions(uint64_t size, uint32_t start, uint32_t step) {
    std::vector<uint64_t> found;
    for (uint64_t x = 0; x < size; ++x) {
        if (x % step == start) found.push_back(x);
    }
    return found;
}

std::vector<uint64_t> pass_columns(int p, uint64_t width) { return positions(width, adam7_passes[p].x0, adam7_passes[p].dx); }
std::vector<uint64_t> pass_rows(int p, uint64_t height) { return positions(height, adam7_passes[p].y0, adam7_passes[p].dy); }

TEST(Adam7, PassesCoverEveryPixelOnce) {
    for (uint64_t width = 0; width <= 17; ++width) {
        for (uint64_t height = 0; height <= 17; ++height) {
            std::vector<int> hits(width * height, 0);
            for (int p = 0; p < 7; ++p) {
                const auto columns = pass_columns(p, width);
                const auto rows = pass_rows(p, height);
                ASSERT_EQ(adam7_positions(width, adam7_passes[p].x0, adam7_passes[p].dx), columns.size());
                ASSERT_EQ(adam7_positions(height, adam7_passes[p].y0, adam7_passes[p].dy), rows.size());
                for (uint64_t y : rows) {
                    for (uint64_t x : columns) ++hits[y * width + x];
                }
            }
            for (int count : hits) ASSERT_EQ(count, 1) << width << "x" << height;
        }
    }
}

struct Format {
    int colour_type, bit_depth, bits_per_pixel;
};

const Format formats[] = {{0, 1, 1},  {0, 2, 2},  {0, 4, 4},  {0, 8, 8},   {0, 16, 16},
                          {2, 8, 24}, {2, 16, 48}, {3, 1, 1}, {3, 2, 2},   {3, 4, 4},
                          {3, 8, 8},  {4, 8, 16}, {4, 16, 32}, {6, 8, 32}, {6, 16, 64}};

// Each pass's scanlines from its columns and rows counted one by one: where
// each pass starts, and the total.
TEST(Adam7, LayoutCountsEachPassRowsScanlines) {
    for (const Format& format : formats) {
        for (uint64_t width = 0; width <= 12; ++width) {
            for (uint64_t height = 0; height <= 12; ++height) {
                Adam7Layout layout{};
                ASSERT_TRUE(adam7_layout(width, height, format.colour_type, format.bit_depth, layout));
                size_t offset = 0;
                for (int p = 0; p < 7; ++p) {
                    ASSERT_EQ(layout.passes[p].offset, offset) << "pass " << p;
                    const size_t columns = pass_columns(p, width).size();
                    const size_t row_bits = columns * static_cast<size_t>(format.bits_per_pixel);
                    if (columns > 0) offset += pass_rows(p, height).size() * (1 + (row_bits + 7) / 8);
                    EXPECT_EQ(layout.passes[p].format.row_bytes, (row_bits + 7) / 8);
                    EXPECT_EQ(layout.passes[p].format.filter_distance,
                              static_cast<size_t>(std::max(format.bits_per_pixel / 8, 1)));
                }
                ASSERT_EQ(layout.inflated_size, offset) << width << "x" << height << " type " << format.colour_type;
            }
        }
    }
}

// Inflated sizes of interlaced PngSuite files (basi*, s*i3p*).
TEST(Adam7, LayoutMatchesInflatedSizeOfSampleFiles) {
    const uint64_t samples[][5] = {{32, 32, 0, 1, 192},   {32, 32, 0, 16, 2108}, {32, 32, 2, 16, 6204},
                                   {32, 32, 6, 16, 8252}, {1, 1, 3, 1, 2},       {7, 7, 3, 2, 31},
                                   {33, 33, 3, 4, 625},   {39, 39, 3, 4, 859}};
    for (const auto& [width, height, colour_type, bit_depth, inflated] : samples) {
        Adam7Layout layout{};
        ASSERT_TRUE(adam7_layout(width, height, static_cast<int>(colour_type), static_cast<int>(bit_depth), layout));
        EXPECT_EQ(layout.inflated_size, inflated) << width << " type " << colour_type;
    }
}

TEST(Adam7, CountsHugeSizesAndRefusesSizesPastSizeTAndInvalidFormats) {
    EXPECT_EQ(adam7_positions(UINT64_MAX, 0, 8), uint64_t{1} << 61);
    EXPECT_EQ(adam7_positions(UINT64_MAX, 1, 2), (uint64_t{1} << 63) - 1);
    Adam7Layout layout{};
    EXPECT_FALSE(adam7_layout(uint64_t{1} << 40, uint64_t{1} << 40, 6, 16, layout));
    EXPECT_FALSE(adam7_layout((uint64_t{1} << 31) - 1, (uint64_t{1} << 31) - 1, 6, 16, layout));
    EXPECT_FALSE(adam7_layout(UINT64_MAX, 2, 6, 16, layout));
    EXPECT_FALSE(adam7_layout(8, 8, 2, 4, layout));
    ASSERT_TRUE(adam7_layout((uint64_t{1} << 31) - 1, uint64_t{1} << 20, 6, 16, layout));
    // Before pass 7: the even rows' pixels, and a filter type byte for each
    // of the 11 * 2^17 rows of passes 1 to 6.
    EXPECT_EQ(layout.passes[6].offset, ((uint64_t{1} << 31) - 1) * 8 * (uint64_t{1} << 19) + 11 * (uint64_t{1} << 17));
}

// Parameters: the pass, the image width, and whether the vector kernels
// may be used.
class Scatter : public testing::TestWithParam<std::tuple<int, size_t, bool>> {
    VectorKernels vector_kernels_{std::get<2>(GetParam())};
};

TEST_P(Scatter, PlacesPassPixelsAndKeepsTheOthers) {
    const auto [p, width, vector_kernels] = GetParam();
    const auto columns = pass_columns(p, width);
    const auto seed = static_cast<uint32_t>(width * 7 + static_cast<size_t>(p));
    const Bytes pass_rgb = random_bytes(3 * columns.size(), seed);
    // The row, then guard bytes that must stay as they are.
    Bytes image = random_bytes(3 * width + 48, seed + 1);
    Bytes expected = image;
    for (size_t i = 0; i < columns.size(); ++i) {
        for (size_t c = 0; c < 3; ++c) expected[3 * columns[i] + c] = pass_rgb[3 * i + c];
    }
    adam7_scatter_rgb(pass_rgb, std::span<uint8_t>(image).first(3 * width), adam7_passes[p].x0, adam7_passes[p].dx);
    EXPECT_EQ(image, expected);
}

// The shared widths, and some that end a row of every eighth pixel after
// one to three vector steps (64 image pixels each) and a part of one.
std::vector<size_t> scatter_widths() {
    auto widths = tessarin::testing::row_widths();
    for (size_t width : {71u, 127u, 128u, 135u, 199u, 250u}) widths.push_back(width);
    return widths;
}

INSTANTIATE_TEST_SUITE_P(Adam7, Scatter,
                         testing::Combine(testing::Range(0, 7), testing::ValuesIn(scatter_widths()), testing::Bool()));

}  // namespace
