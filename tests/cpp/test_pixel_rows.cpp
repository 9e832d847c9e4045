#include "kernels/bmp_pixel_rows.hpp"
#include "kernels/bmp_row_stride.hpp"

#include <gtest/gtest.h>

#include "vector_kernels.hpp"
#include "random_bytes.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <tuple>
#include <vector>

namespace {

using tessarin::testing::VectorKernels;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;

size_t stride_for(size_t width) { return (3 * width + 3) / 4 * 4; }

Bytes reversed_pixels(const Bytes& pixels, size_t width) {
    Bytes swapped;
    for (size_t x = 0; x < width; ++x) {
        swapped.push_back(pixels[3 * x + 2]);
        swapped.push_back(pixels[3 * x + 1]);
        swapped.push_back(pixels[3 * x]);
    }
    return swapped;
}

// Parameters: row width in pixels, and whether the vector kernels (AVX2,
// NEON) may be used (off, the baseline kernels run on this machine too).
class BmpRow : public testing::TestWithParam<std::tuple<size_t, bool>> {
protected:
    size_t width() const { return std::get<0>(GetParam()); }
    uint32_t seed() const { return static_cast<uint32_t>(width()); }

private:
    VectorKernels vector_kernels_{std::get<1>(GetParam())};
};

TEST_P(BmpRow, BgrToRgbReversesEachPixelAndIgnoresPadding) {
    Bytes bgr = random_bytes(stride_for(width()), seed());
    const Bytes expected = reversed_pixels(bgr, width());
    Bytes rgb(3 * width() + 1, 0xee);
    tessarin::bmp::bgr_to_rgb_row(bgr, std::span(rgb).first(3 * width()), width());
    EXPECT_EQ(rgb.back(), 0xee);
    rgb.pop_back();
    EXPECT_EQ(rgb, expected);

    // Other padding bytes give the same pixels.
    for (size_t i = 3 * width(); i < bgr.size(); ++i) bgr[i] = static_cast<uint8_t>(~bgr[i]);
    Bytes again(3 * width());
    tessarin::bmp::bgr_to_rgb_row(bgr, again, width());
    EXPECT_EQ(again, expected);
}

TEST_P(BmpRow, RgbToBgrPadsWithZeros) {
    const Bytes rgb = random_bytes(3 * width(), seed());
    Bytes expected = reversed_pixels(rgb, width());
    expected.resize(stride_for(width()), 0);
    Bytes out(stride_for(width()) + 1, 0xee);
    tessarin::bmp::rgb_to_bgr_padded_row(rgb, std::span(out).first(stride_for(width())), width());
    EXPECT_EQ(out.back(), 0xee);
    out.pop_back();
    EXPECT_EQ(out, expected);
}

TEST_P(BmpRow, RoundTripsThroughBgr) {
    const Bytes rgb = random_bytes(3 * width(), seed());
    Bytes bgr(stride_for(width()), 0xee);
    tessarin::bmp::rgb_to_bgr_padded_row(rgb, bgr, width());
    Bytes back(3 * width());
    tessarin::bmp::bgr_to_rgb_row(bgr, back, width());
    EXPECT_EQ(back, rgb);
}

// Every stored layout turned into RGB rows in place: rows bottom-up and
// top-down, strides with no padding, the BMP padding, and more; the bytes
// past each stored row's pixels hold a marker that must not show up.
TEST_P(BmpRow, StoredRowsBecomeRgbRowsInPlace) {
    for (size_t rows : {1u, 2u, 3u, 4u, 5u}) {
        const Bytes rgb = random_bytes(3 * width() * rows, seed() + static_cast<uint32_t>(rows));
        for (size_t stride : {3 * width(), stride_for(width()), 3 * width() + 7}) {
            for (bool bottom_up : {false, true}) {
                Bytes buffer(stride * rows, 0xee);
                for (size_t row = 0; row < rows; ++row) {
                    const size_t source_row = bottom_up ? rows - 1 - row : row;
                    const Bytes pixels(rgb.begin() + static_cast<std::ptrdiff_t>(3 * width() * source_row),
                                       rgb.begin() + static_cast<std::ptrdiff_t>(3 * width() * (source_row + 1)));
                    const Bytes stored = reversed_pixels(pixels, width());
                    std::copy(stored.begin(), stored.end(), buffer.begin() + static_cast<std::ptrdiff_t>(row * stride));
                }
                tessarin::bmp::stored_rows_to_rgb_in_place(buffer, width(), rows, stride, bottom_up);
                buffer.resize(rgb.size());
                EXPECT_EQ(buffer, rgb) << rows << " rows, stride " << stride << (bottom_up ? ", bottom-up" : "");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PixelRows, BmpRow,
                         testing::Combine(testing::ValuesIn(tessarin::testing::row_widths()), testing::Bool()));

// A row's bytes rounded up to a multiple of 4, at every bit count a BMP has,
// for widths around each boundary and at the 32-bit field's limit; at 24 bits
// negative widths too, as unbounded integers give them.
TEST(RowStride, PadsRowsToWholeWords) {
    std::vector<int64_t> widths(130);
    for (size_t i = 0; i < widths.size(); ++i) widths[i] = static_cast<int64_t>(i);
    widths.push_back(INT32_MAX);
    for (int bits : {1, 2, 4, 8, 16, 24, 32}) {
        for (int64_t width : widths) {
            const int64_t row_bytes = (width * bits + 7) / 8;
            EXPECT_EQ(tessarin::bmp::row_stride_of(width, bits), (row_bytes + 3) / 4 * 4) << width << " at " << bits;
        }
    }
    for (int64_t width = -200; width < 0; ++width) {
        const int64_t numerator = 3 * width + 3;
        const int64_t floored = numerator / 4 - (numerator % 4 < 0 ? 1 : 0);
        EXPECT_EQ(tessarin::bmp::row_stride_of(width, 24), floored * 4) << width;
    }
    EXPECT_EQ(tessarin::bmp::row_stride_of(INT32_MIN, 24), int64_t{INT32_MIN} * 3);
}

}  // namespace
