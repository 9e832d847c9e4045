#include "kernels/png_reduce.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using tessarin::png::ColourSummary;
using tessarin::png::summarise_colours;

// The value a sample of `bit_depth` bits (1, 2, 4 or 8) stands for: its
// bits repeated until they fill a byte.
unsigned replicated(unsigned sample, int bit_depth) {
    unsigned value = 0;
    for (int filled = 0; filled < 8; filled += bit_depth) value = value << bit_depth | sample;
    return value;
}

TEST(SummariseColours, GreyDepthIsTheSmallestThatReplicatesEveryValue) {
    for (unsigned value = 0; value < 256; ++value) {
        const std::vector<uint8_t> pixels = {0, 0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value),
                                             static_cast<uint8_t>(value)};
        const ColourSummary summary = summarise_colours(pixels);
        ASSERT_TRUE(summary.grey);
        int expected = 1;
        while (replicated(value >> (8 - expected), expected) != value) expected *= 2;
        EXPECT_EQ(summary.grey_depth, expected) << value;
    }
}

TEST(SummariseColours, CountsDistinctColoursUpToOnePastAPalette) {
    for (size_t colours : {1u, 2u, 255u, 256u, 257u, 1000u}) {
        std::vector<uint8_t> pixels;
        // Each colour twice, far apart, and its neighbours differing in one
        // channel each.
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < colours; ++i) {
                pixels.insert(pixels.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 9});
            }
        }
        const ColourSummary summary = summarise_colours(pixels);
        EXPECT_FALSE(summary.grey);
        EXPECT_EQ(summary.colour_count, std::min<size_t>(colours, 257)) << colours;
        for (size_t i = 1; colours <= 256 && i < colours; ++i) EXPECT_LT(summary.colours[i - 1], summary.colours[i]);
    }
}

}  // namespace
