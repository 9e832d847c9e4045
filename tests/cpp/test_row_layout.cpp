#include "kernels/png_row_layout.hpp"

#include <gtest/gtest.h>

#include "vector_kernels.hpp"
#include "random_bytes.hpp"

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

namespace {

using tessarin::testing::VectorKernels;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;

// Parameters: bytes per row, number of rows.
class LayoutFilterNone : public testing::TestWithParam<std::tuple<size_t, size_t>> {};

TEST_P(LayoutFilterNone, PrefixesEveryRowWithFilterZero) {
    const auto [row_bytes, rows] = GetParam();
    // Surplus pixel bytes past rows * row_bytes are not laid out.
    const Bytes pixels = random_bytes(row_bytes * rows + 5, static_cast<uint32_t>(row_bytes));
    Bytes expected;
    for (size_t y = 0; y < rows; ++y) {
        expected.push_back(0);
        for (size_t x = 0; x < row_bytes; ++x) expected.push_back(pixels[y * row_bytes + x]);
    }
    Bytes raw((row_bytes + 1) * rows, 0xee);
    tessarin::png::layout_filter_none(pixels, row_bytes, rows, raw);
    EXPECT_EQ(raw, expected);
}

INSTANTIATE_TEST_SUITE_P(RowLayout, LayoutFilterNone,
                         testing::Combine(testing::Values(0u, 3u, 6u, 9u, 300u, 3000u),
                                          testing::Values(0u, 1u, 2u, 7u)));

// Parameters: row width in pixels, and whether the vector kernels (AVX2,
// NEON) may be used.
class RgbaToRgb : public testing::TestWithParam<std::tuple<size_t, bool>> {
    VectorKernels vector_kernels_{std::get<1>(GetParam())};
};

TEST_P(RgbaToRgb, DropsAlpha) {
    const size_t width = std::get<0>(GetParam());
    const Bytes rgba = random_bytes(4 * width, static_cast<uint32_t>(width));
    Bytes expected;
    for (size_t x = 0; x < width; ++x) {
        for (size_t channel = 0; channel < 3; ++channel) expected.push_back(rgba[4 * x + channel]);
    }
    // A guard byte after the row shows that nothing past 3 * width is written.
    Bytes rgb(3 * width + 1, 0xee);
    tessarin::png::rgba_to_rgb_row(rgba, rgb, width);
    EXPECT_EQ(rgb.back(), 0xee);
    rgb.pop_back();
    EXPECT_EQ(rgb, expected);
}

INSTANTIATE_TEST_SUITE_P(RowLayout, RgbaToRgb,
                         testing::Combine(testing::ValuesIn(tessarin::testing::row_widths()), testing::Bool()));

}  // namespace
