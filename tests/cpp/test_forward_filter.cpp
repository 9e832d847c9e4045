#include "kernels/png_forward_filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels/png_unfilter.hpp"
#include "random_bytes.hpp"
#include "reference_filter.hpp"
#include "vector_kernels.hpp"

namespace {

using tessarin::png::cheapest_filter;
using tessarin::png::filter_adaptive;
using tessarin::png::filter_row;
using tessarin::png::filter_row_candidates;
using tessarin::png::filter_rows;
using tessarin::png::filter_scratch_size;
using tessarin::png::FilterCandidates;
using tessarin::png::FilterStatus;
using tessarin::png::FilterWeights;
using tessarin::png::RowFilter;
using tessarin::png::unfilter_row;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::reference_filter;
using tessarin::testing::reference_paeth;
using tessarin::testing::VectorKernels;

constexpr size_t pixel_bytes = 3;
constexpr FilterWeights equal_weights = {8, 8, 8, 8, 8};
// Average and Paeth counted an eighth heavier, as the encoder's candidates do.
constexpr FilterWeights heavier_predictions = {8, 8, 8, 9, 9};
constexpr uint8_t guard = 0xa5;
constexpr size_t guard_bytes = 40;

// Every width from 0 to past three of the widest vector steps (32 bytes)
// from the second pixel on, then long rows.
std::vector<size_t> widths() {
    std::vector<size_t> all;
    for (size_t width = 0; width <= 80; ++width) all.push_back(width);
    for (size_t width : {341u, 1000u, 4097u}) all.push_back(width);
    return all;
}

uint32_t magnitude(uint8_t value) { return value < 128 ? value : 256u - value; }

// A row of `n` bytes as the kernels see it: random bytes, or runs of one
// value (small residuals, ties between filters), or values near 0 and 255
// where the Paeth distances saturate.
Bytes test_row(size_t n, uint32_t seed) {
    Bytes row = random_bytes(n, seed);
    if (seed % 3 == 1) {
        for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] & 1 ? 255 - (row[i] >> 6) : row[i] >> 6);
    } else if (seed % 3 == 2) {
        for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(100 + (i / 7 + seed) % 3);
    }
    return row;
}

// Parameters: row width in pixels, the seed's kind (see test_row), and
// whether the vector kernels (AVX2, NEON) may run.
class ForwardFilter : public testing::TestWithParam<std::tuple<size_t, uint32_t, bool>> {
protected:
    size_t n() const { return std::get<0>(GetParam()) * pixel_bytes; }
    uint32_t seed() const { return static_cast<uint32_t>(std::get<0>(GetParam()) * 3 + std::get<1>(GetParam())); }
    bool vector() const { return std::get<2>(GetParam()); }

private:
    VectorKernels vector_kernels_{std::get<2>(GetParam())};
};

// What one kernel call writes, with guard bytes after the row that must stay.
Bytes filtered_with_guard(int type, const Bytes& row, const Bytes& prev) {
    Bytes out(row.size() + guard_bytes, guard);
    filter_row(type, row, prev, std::span<uint8_t>(out).first(row.size()));
    return out;
}

Bytes with_guard(Bytes bytes) {
    bytes.insert(bytes.end(), guard_bytes, guard);
    return bytes;
}

TEST_P(ForwardFilter, EachTypeMatchesReference) {
    const Bytes row = test_row(n(), seed());
    for (const Bytes& prev : {test_row(n(), seed() + 3), Bytes(n(), 0)}) {
        for (int type = 0; type <= 4; ++type) {
            EXPECT_EQ(filtered_with_guard(type, row, prev), with_guard(reference_filter(type, row, prev, pixel_bytes)))
                << "type " << type;
        }
    }
}

TEST_P(ForwardFilter, VectorKernelMatchesScalarTwin) {
    const Bytes row = test_row(n(), seed());
    const Bytes prev = test_row(n(), seed() + 3);
    for (int type = 1; type <= 4; ++type) {
        const Bytes vector_out = filtered_with_guard(type, row, prev);
        const VectorKernels scalar_only{false};
        EXPECT_EQ(vector_out, filtered_with_guard(type, row, prev)) << "type " << type;
    }
}

// All four filtered rows and five sums of one call, each row followed by
// guard bytes.
struct Candidates {
    std::vector<Bytes> rows;
    std::array<uint64_t, 5> sums;
};

Candidates candidates_of(const Bytes& row, const Bytes& prev) {
    Candidates result{std::vector<Bytes>(5, Bytes(row.size() + guard_bytes, guard)), {}};
    FilterCandidates candidates{};
    for (size_t type = 1; type < 5; ++type) candidates.bytes[type] = std::span<uint8_t>(result.rows[type]).first(row.size());
    // Sums left over from an earlier row must not count.
    candidates.sums = {7, 7, 7, 7, 7};
    filter_row_candidates(row, prev, candidates);
    result.sums = candidates.sums;
    return result;
}

TEST_P(ForwardFilter, CandidatesMatchReferenceWithTheirSums) {
    const Bytes row = test_row(n(), seed());
    const Bytes prev = test_row(n(), seed() + 3);
    const Candidates candidates = candidates_of(row, prev);
    for (int type = 0; type <= 4; ++type) {
        const Bytes expected = reference_filter(type, row, prev, pixel_bytes);
        uint64_t sum = 0;
        for (uint8_t byte : expected) sum += magnitude(byte);
        EXPECT_EQ(candidates.sums[static_cast<size_t>(type)], sum) << "type " << type;
        if (type > 0) {
            EXPECT_EQ(candidates.rows[static_cast<size_t>(type)], with_guard(expected)) << "type " << type;
        }
    }
    if (vector()) {
        const VectorKernels scalar_only{false};
        const Candidates scalar = candidates_of(row, prev);
        EXPECT_EQ(candidates.rows, scalar.rows);
        EXPECT_EQ(candidates.sums, scalar.sums);
    }
}

TEST_P(ForwardFilter, UnfilterUndoesEveryType) {
    const Bytes row = test_row(n(), seed());
    const Bytes prev = test_row(n(), seed() + 3);
    for (int type = 0; type <= 4; ++type) {
        Bytes scanline(n()), back(n());
        filter_row(type, row, prev, scanline);
        ASSERT_EQ(unfilter_row(type, scanline, prev, static_cast<int>(pixel_bytes), back), FilterStatus::ok);
        EXPECT_EQ(back, row) << "type " << type;
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, ForwardFilter,
                         testing::Combine(testing::ValuesIn(widths()), testing::Values(0u, 1u, 2u), testing::Bool()));

// The vector kernels' Paeth predictor, made of byte operations, on every
// triple: each pair of pixels below tests three. The second pixel's bytes are
// 0, so the filtered bytes are the predictions negated.
TEST(ForwardFilterPaeth, MatchesReferenceOnEveryTriple) {
    for (int left = 0; left < 256; ++left) {
        Bytes row, prev;
        std::vector<int> expected;
        for (int up = 0; up < 256; ++up) {
            for (int up_left = 0; up_left < 256; up_left += 3) {
                for (int k = 0; k < 3; ++k) {
                    row.push_back(static_cast<uint8_t>(left));
                    prev.push_back(static_cast<uint8_t>(std::min(up_left + k, 255)));
                }
                for (int k = 0; k < 3; ++k) {
                    row.push_back(0);
                    prev.push_back(static_cast<uint8_t>(up));
                    expected.push_back(reference_paeth(left, up, std::min(up_left + k, 255)));
                }
            }
        }
        Bytes out(row.size());
        filter_row(4, row, prev, out);
        for (size_t pair = 0; pair < expected.size() / 3; ++pair) {
            for (size_t k = 0; k < 3; ++k) {
                const auto predicted = static_cast<uint8_t>(-out[6 * pair + 3 + k]);
                if (predicted != expected[3 * pair + k]) FAIL() << "left " << left << " at pair " << pair;
            }
        }
    }
}

// Average likewise on every pair: each pair of pixels tests one.
TEST(ForwardFilterAverage, MatchesReferenceOnEveryPair) {
    Bytes row, prev;
    for (int left = 0; left < 256; ++left) {
        for (int up = 0; up < 256; ++up) {
            row.insert(row.end(), 3, static_cast<uint8_t>(left));
            row.insert(row.end(), 3, 0);
            prev.insert(prev.end(), 3, 0);
            prev.insert(prev.end(), 3, static_cast<uint8_t>(up));
        }
    }
    Bytes out(row.size());
    filter_row(3, row, prev, out);
    EXPECT_EQ(out, reference_filter(3, row, prev, pixel_bytes));
}

FilterCandidates sums_only(std::array<uint64_t, 5> sums) {
    FilterCandidates candidates{};
    candidates.sums = sums;
    return candidates;
}

TEST(CheapestFilter, SmallestWeightedSumWinsAndTiesGoToNoneUpSubAveragePaeth) {
    const FilterWeights equal = {8, 8, 8, 8, 8};
    EXPECT_EQ(cheapest_filter(sums_only({50, 40, 30, 20, 10}), equal), 4);
    EXPECT_EQ(cheapest_filter(sums_only({10, 40, 30, 20, 10}), equal), 0);
    EXPECT_EQ(cheapest_filter(sums_only({50, 20, 30, 20, 20}), equal), 1);
    EXPECT_EQ(cheapest_filter(sums_only({50, 20, 20, 20, 20}), equal), 2);
    EXPECT_EQ(cheapest_filter(sums_only({50, 30, 40, 20, 20}), equal), 3);
    EXPECT_EQ(cheapest_filter(sums_only({0, 0, 0, 0, 0}), equal), 0);
    // A weight of 0 leaves its type out; with every type left out, None.
    EXPECT_EQ(cheapest_filter(sums_only({50, 40, 30, 20, 25}), FilterWeights{8, 8, 8, 0, 8}), 4);
    EXPECT_EQ(cheapest_filter(sums_only({0, 40, 30, 20, 25}), FilterWeights{0, 8, 8, 8, 8}), 3);
    EXPECT_EQ(cheapest_filter(sums_only({50, 40, 30, 20, 25}), FilterWeights{}), 0);
    // Weighted: 9/8 of Paeth's 80 is 90, more than Up's 85.
    EXPECT_EQ(cheapest_filter(sums_only({100, 100, 85, 100, 80}), heavier_predictions), 2);
    EXPECT_EQ(cheapest_filter(sums_only({100, 100, 95, 100, 80}), heavier_predictions), 4);
}

// The scanlines of an image as filter_rows writes them for rows
// [first, end), with guard bytes after them.
Bytes scanlines_of(int mode, const Bytes& pixels, size_t row_bytes, size_t first, size_t end,
                   const FilterWeights& weights = heavier_predictions) {
    Bytes scratch(filter_scratch_size(row_bytes), guard);
    Bytes out((end - first) * (row_bytes + 1) + guard_bytes, guard);
    filter_rows(RowFilter{mode, weights}, pixels, row_bytes, first, end, scratch,
                std::span<uint8_t>(out).first((end - first) * (row_bytes + 1)));
    return out;
}

// Parameters: width in pixels, mode (a type or filter_adaptive), whether
// the vector kernels may run.
class FilterRows : public testing::TestWithParam<std::tuple<size_t, int, bool>> {
protected:
    size_t row_bytes() const { return std::get<0>(GetParam()) * pixel_bytes; }
    int mode() const { return std::get<1>(GetParam()); }

private:
    VectorKernels vector_kernels_{std::get<2>(GetParam())};
};

TEST_P(FilterRows, UnfilteringGivesTheImageBack) {
    const size_t height = 6;
    const size_t n = row_bytes();
    Bytes pixels;
    for (size_t y = 0; y < height; ++y) {
        const Bytes row = test_row(n, static_cast<uint32_t>(y % 3 + 3 * n));
        pixels.insert(pixels.end(), row.begin(), row.end());
    }
    const Bytes out = scanlines_of(mode(), pixels, n, 0, height);
    Bytes above(n, 0);
    for (size_t y = 0; y < height; ++y) {
        const int type = out[y * (n + 1)];
        if (mode() != filter_adaptive) {
            EXPECT_EQ(type, mode());
        }
        ASSERT_LE(type, 4);
        const Bytes scanline(out.begin() + static_cast<std::ptrdiff_t>(y * (n + 1) + 1),
                             out.begin() + static_cast<std::ptrdiff_t>((y + 1) * (n + 1)));
        Bytes row(n);
        ASSERT_EQ(unfilter_row(type, scanline, above, 3, row), FilterStatus::ok);
        ASSERT_EQ(row, Bytes(pixels.begin() + static_cast<std::ptrdiff_t>(y * n),
                             pixels.begin() + static_cast<std::ptrdiff_t>((y + 1) * n)))
            << "row " << y;
        above = row;
    }
    for (size_t i = height * (n + 1); i < out.size(); ++i) ASSERT_EQ(out[i], guard);
    // Rows from the middle of the image are filtered against the pixel row
    // above them, as in the whole image.
    const Bytes middle = scanlines_of(mode(), pixels, n, 2, 5);
    EXPECT_TRUE(std::equal(middle.begin(), middle.begin() + static_cast<std::ptrdiff_t>(3 * (n + 1)),
                           out.begin() + static_cast<std::ptrdiff_t>(2 * (n + 1))));
}

INSTANTIATE_TEST_SUITE_P(Filter, FilterRows,
                         testing::Combine(testing::Values(0u, 1u, 2u, 11u, 12u, 33u, 100u),
                                          testing::Values(0, 1, 2, 3, 4, filter_adaptive), testing::Bool()));

TEST(FilterRowsAdaptive, EachRowTakesTheCheapestType) {
    for (bool vector : {true, false}) {
        const VectorKernels kernels{vector};
        for (size_t width : {1u, 12u, 100u}) {
            const size_t n = width * pixel_bytes;
            for (uint32_t seed = 0; seed < 30; ++seed) {
                const Bytes above = test_row(n, seed), row = test_row(n, seed / 3 * 3 + (seed + 1) % 3);
                Bytes pixels = above;
                pixels.insert(pixels.end(), row.begin(), row.end());
                const auto sums = sums_only(candidates_of(row, above).sums);
                for (const FilterWeights& weights :
                     {equal_weights, heavier_predictions, FilterWeights{9, 5, 8, 12, 8}, FilterWeights{8, 8, 8, 0, 8}}) {
                    EXPECT_EQ(scanlines_of(filter_adaptive, pixels, n, 1, 2, weights)[0],
                              cheapest_filter(sums, weights))
                        << "width " << width << " seed " << seed;
                }
            }
        }
    }
}

}  // namespace

// Rows of one byte a pixel (greyscale and palette indices): every type, and
// the per-row choice, as the reference filters them at a distance of one,
// with the vector kernels and without.
TEST(FilterRowsOneBytePixels, MatchTheReference) {
    for (const auto& [n, vector] : {std::pair{1u, true}, {2u, true}, {5u, true}, {33u, true}, {64u, true}, {301u, true},
                                    {5u, false}, {64u, false}, {301u, false}}) {
        const VectorKernels kernels{vector};
        const size_t height = 4;
        Bytes pixels;
        for (size_t y = 0; y < height; ++y) {
            const Bytes row = test_row(n, static_cast<uint32_t>(y + 7 * n));
            pixels.insert(pixels.end(), row.begin(), row.end());
        }
        for (int mode : {0, 1, 2, 3, 4, filter_adaptive}) {
            Bytes scratch(filter_scratch_size(n)), out(height * (n + 1));
            filter_rows(RowFilter{mode, equal_weights}, pixels, n, 0, height, scratch, out, 1);
            Bytes above(n, 0);
            for (size_t y = 0; y < height; ++y) {
                const Bytes row(pixels.begin() + static_cast<std::ptrdiff_t>(y * n),
                                pixels.begin() + static_cast<std::ptrdiff_t>((y + 1) * n));
                const int type = out[y * (n + 1)];
                ASSERT_TRUE(mode == filter_adaptive ? type <= 4 : type == mode);
                const Bytes expected = reference_filter(type, row, above, 1);
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                                       out.begin() + static_cast<std::ptrdiff_t>(y * (n + 1) + 1)))
                    << "width " << n << " row " << y << " type " << type;
                above = row;
            }
        }
    }
}
