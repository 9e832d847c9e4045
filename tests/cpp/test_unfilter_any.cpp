#include "kernels/unfilter_any.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "random_bytes.hpp"
#include "reference_filter.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"
#include "vector_kernels.hpp"

namespace {

using tessarin::kernels::unfilter_average_vector;
using tessarin::kernels::unfilter_paeth_vector;
using tessarin::kernels::unfilter_sub_vector;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::reference_paeth;
using tessarin::testing::reference_unfilter;
using tessarin::testing::VectorKernels;

constexpr int filter_sub = 1, filter_average = 3, filter_paeth = 4;

bool unfilter_vector(int filter_type, const Bytes& scanline, const Bytes& prev, size_t bpp, std::span<uint8_t> out) {
    switch (filter_type) {
        case filter_sub: return unfilter_sub_vector(scanline, out, bpp);
        case filter_average: return unfilter_average_vector(scanline, prev, out, bpp);
        default: return unfilter_paeth_vector(scanline, prev, out, bpp);
    }
}

// Whether this machine has the vector forms: Sub at every distance tested,
// Average and Paeth at 6 and 8 bytes per pixel.
bool served(int filter_type, size_t bpp) {
    return (tessarin::simd::avx2_usable() || tessarin::simd::neon_usable()) && (filter_type == filter_sub || bpp >= 6);
}

// Parameters: filter type, bytes per pixel, row length in bytes (every
// length up to 52, then long rows).
class UnfilterAny : public testing::TestWithParam<std::tuple<int, size_t, size_t>> {};

TEST_P(UnfilterAny, MatchesReferenceOrLeavesTheRowToTheScalarLoops) {
    const auto [filter_type, bpp, n] = GetParam();
    const auto seed = static_cast<uint32_t>(static_cast<size_t>(filter_type) * 100003 + bpp * 1009 + n);
    const Bytes scanline = random_bytes(n, seed), prev = random_bytes(n, seed + 1);
    for (bool vector_kernels : {false, true}) {
        const VectorKernels allowed(vector_kernels);
        // The row, then guard bytes that must stay as they are.
        Bytes out(n + 16, 0xa5);
        const bool done = unfilter_vector(filter_type, scanline, prev, bpp, std::span<uint8_t>(out).first(n));
        ASSERT_EQ(done, vector_kernels && served(filter_type, bpp));
        const Bytes expected = done ? reference_unfilter(filter_type, scanline, prev, bpp) : Bytes(n, 0xa5);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)), expected);
        for (size_t i = n; i < out.size(); ++i) ASSERT_EQ(out[i], 0xa5);
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, UnfilterAny,
                         testing::Combine(testing::Values(filter_sub, filter_average, filter_paeth),
                                          testing::Values(1u, 2u, 3u, 4u, 6u, 8u), testing::ValuesIn(tessarin::testing::row_widths())));

// The Paeth step on every triple: byte k of a row's second pixel, with its
// left pixel reconstructed to `left`, above it `up` and to the upper left
// up_left + k, and a zero filtered byte.
TEST(UnfilterAny, PaethPicksTheReferenceOnEveryTriple) {
    if (!served(filter_paeth, 8)) GTEST_SKIP() << "no vector Paeth form on this machine";
    Bytes scanline(16, 0), prev(16), out(16);
    for (int left = 0; left < 256; ++left) {
        for (int up = 0; up < 256; ++up) {
            for (int up_left = 0; up_left < 256; up_left += 8) {
                for (size_t k = 0; k < 8; ++k) {
                    prev[k] = static_cast<uint8_t>(up_left + static_cast<int>(k));
                    prev[8 + k] = static_cast<uint8_t>(up);
                    // The first pixel predicts from `up` alone.
                    scanline[k] = static_cast<uint8_t>(left - prev[k]);
                }
                ASSERT_TRUE(unfilter_paeth_vector(scanline, prev, out, 8));
                for (size_t k = 0; k < 8; ++k) {
                    const int expected = reference_paeth(left, up, up_left + static_cast<int>(k));
                    if (out[8 + k] != expected) FAIL() << left << " " << up << " " << up_left + static_cast<int>(k);
                }
            }
        }
    }
}

}  // namespace
