#include "kernels/png_unpack.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "random_bytes.hpp"
#include "vector_kernels.hpp"

namespace {

using tessarin::kernels::png_scanline_format;
using tessarin::kernels::png_row_to_rgb;
using tessarin::kernels::RgbPalette;
using tessarin::kernels::ScanlineFormat;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::VectorKernels;

struct Format {
    int colour_type, bit_depth, channels;
};

// Every pair with a converter of its own.
const Format formats[] = {{0, 1, 1}, {0, 2, 1}, {0, 4, 1}, {0, 8, 1},  {0, 16, 1}, {2, 16, 3}, {3, 1, 1},
                          {3, 2, 1}, {3, 4, 1}, {3, 8, 1}, {4, 8, 2},  {4, 16, 2}, {6, 16, 4}};

// Sample k of a row of `depth`-bit samples, read bit by bit, most
// significant first.
unsigned sample(const Bytes& row, size_t k, int depth) {
    unsigned value = 0;
    for (size_t bit = k * static_cast<size_t>(depth); bit < (k + 1) * static_cast<size_t>(depth); ++bit) {
        value = value << 1 | ((row[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
}

Bytes reference_rgb(const Format& format, const Bytes& row, size_t pixels, const RgbPalette& palette) {
    const auto to_8_bits = [&](unsigned value) {
        return static_cast<uint8_t>(format.bit_depth == 16 ? value >> 8 : value * 255 / ((1u << format.bit_depth) - 1));
    };
    Bytes rgb;
    for (size_t x = 0; x < pixels; ++x) {
        const size_t first = x * static_cast<size_t>(format.channels);
        for (size_t c = 0; c < 3; ++c) {
            if (format.colour_type == 3) {
                rgb.push_back(palette.rgb[3 * sample(row, x, format.bit_depth) + c]);
            } else {
                rgb.push_back(to_8_bits(sample(row, format.channels >= 3 ? first + c : first, format.bit_depth)));
            }
        }
    }
    return rgb;
}

// Parameters: the format, and the row width in pixels.
class Unpack : public testing::TestWithParam<std::tuple<Format, size_t>> {};

TEST_P(Unpack, MatchesReferenceWithAndWithoutVectorKernels) {
    const auto [format, pixels] = GetParam();
    const auto seed = static_cast<uint32_t>(format.colour_type * 100 + format.bit_depth) + static_cast<uint32_t>(pixels) * 1000;
    ScanlineFormat scanline_format{};
    ASSERT_TRUE(png_scanline_format(format.colour_type, format.bit_depth, pixels, scanline_format));
    const Bytes row = random_bytes(scanline_format.row_bytes, seed);
    RgbPalette palette;
    const Bytes entries = random_bytes(sizeof palette.rgb, seed + 1);
    std::copy(entries.begin(), entries.end(), palette.rgb);
    const Bytes expected = reference_rgb(format, row, pixels, palette);
    const auto convert = png_row_to_rgb(format.colour_type, format.bit_depth);
    ASSERT_NE(convert, nullptr);
    for (bool vector_kernels : {false, true}) {
        const VectorKernels allowed(vector_kernels);
        // A guard byte after the row shows that nothing past 3 * pixels is written.
        Bytes rgb(3 * pixels + 1, 0xee);
        convert(row, std::span<uint8_t>(rgb).first(3 * pixels), palette);
        EXPECT_EQ(rgb.back(), 0xee);
        rgb.pop_back();
        ASSERT_EQ(rgb, expected) << "vector kernels " << vector_kernels;
    }
}

INSTANTIATE_TEST_SUITE_P(PngUnpack, Unpack,
                         testing::Combine(testing::ValuesIn(formats),
                                          testing::ValuesIn(tessarin::testing::row_widths())));

// Bit replication and the 16-bit cut on known values, apart from the
// reference above.
TEST(Unpack, ScalesLowDepthsByBitReplicationAndCutsToHighByte) {
    struct Case {
        int colour_type, bit_depth;
        Bytes row, rgb;
    };
    const Case cases[] = {
        {0, 1, {0b10100000}, {255, 255, 255, 0, 0, 0, 255, 255, 255}},
        {0, 2, {0b00011011}, {0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255}},
        {0, 4, {0x1e}, {17, 17, 17, 238, 238, 238}},
        {0, 16, {0x12, 0xff}, {0x12, 0x12, 0x12}},
        {6, 16, {1, 9, 2, 9, 3, 9, 4, 9}, {1, 2, 3}},
        {4, 16, {7, 1, 8, 1}, {7, 7, 7}},
    };
    for (const Case& c : cases) {
        Bytes rgb(c.rgb.size());
        png_row_to_rgb(c.colour_type, c.bit_depth)(c.row, rgb, RgbPalette{});
        EXPECT_EQ(rgb, c.rgb) << c.colour_type << "/" << c.bit_depth;
    }
}

TEST(Unpack, HasNoConverterForInvalidPairs) {
    const std::pair<int, int> without[] = {{0, 3}, {0, 32}, {2, 4}, {3, 16}, {4, 4},
                                           {6, 1}, {1, 8}, {5, 8}, {7, 8}, {-1, 8}};
    for (const auto& [colour_type, bit_depth] : without) {
        EXPECT_EQ(png_row_to_rgb(colour_type, bit_depth), nullptr) << colour_type << "/" << bit_depth;
    }
}

}  // namespace
