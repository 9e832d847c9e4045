#include "kernels/png_unfilter.hpp"

#include <gtest/gtest.h>

#include "vector_kernels.hpp"
#include "random_bytes.hpp"
#include "reference_filter.hpp"

#include <cstdint>
#include <cstdlib>
#include <random>
#include <span>
#include <tuple>
#include <vector>

namespace {

using tessarin::png::FilterStatus;
using tessarin::png::paeth_predictor;
using tessarin::png::run_rows_at_once;
using tessarin::png::unfilter_run;
using tessarin::png::unfilter_row;
using tessarin::testing::VectorKernels;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::reference_filter;
using tessarin::testing::reference_paeth;
using tessarin::testing::reference_unfilter;

FilterStatus unfilter(int filter_type, const Bytes& scanline, const Bytes& prev, size_t bpp,
                      Bytes& out) {
    return unfilter_row(filter_type, scanline, prev, static_cast<int>(bpp), out);
}

TEST(PaethPredictor, MatchesReferenceOnEveryTriple) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (int c = 0; c < 256; ++c) {
                if (paeth_predictor(a, b, c) != reference_paeth(a, b, c)) {
                    FAIL() << "left " << a << " up " << b << " up_left " << c;
                }
            }
        }
    }
}

struct PaethTie {
    int left, up, up_left, expected;
};

class PaethTies : public testing::TestWithParam<PaethTie> {};

TEST_P(PaethTies, FollowTieOrder) {
    const PaethTie tie = GetParam();
    EXPECT_EQ(paeth_predictor(tie.left, tie.up, tie.up_left), tie.expected);
    // The same triple through the row kernel: pixel 1 of a 2-pixel row with
    // pixel 0 reconstructed to `left` and a zero filtered byte.
    for (size_t bpp : {1u, 3u, 4u}) {
        Bytes prev(2 * bpp, static_cast<uint8_t>(tie.up_left));
        for (size_t k = bpp; k < 2 * bpp; ++k) prev[k] = static_cast<uint8_t>(tie.up);
        Bytes scanline(2 * bpp, 0);
        for (size_t k = 0; k < bpp; ++k) {
            scanline[k] = static_cast<uint8_t>(tie.left - tie.up_left);
        }
        Bytes out(2 * bpp);
        ASSERT_EQ(unfilter(4, scanline, prev, bpp, out), FilterStatus::ok);
        for (size_t k = bpp; k < 2 * bpp; ++k) EXPECT_EQ(out[k], tie.expected) << "bpp " << bpp;
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, PaethTies,
                         testing::Values(PaethTie{50, 50, 40, 50}, PaethTie{0, 30, 10, 30},
                                         PaethTie{10, 20, 15, 15}, PaethTie{7, 7, 7, 7},
                                         PaethTie{255, 255, 255, 255}));

// Parameters: filter type, bytes per pixel, row length in pixels plus extra
// bytes (rows need not end on a pixel boundary), and whether the vector
// kernels (AVX2, NEON) may be used (off, the baseline kernels run on this
// machine too).
using RowCase = std::tuple<int, size_t, size_t, bool>;

class UnfilterRow : public testing::TestWithParam<RowCase> {
protected:
    int filter_type() const { return std::get<0>(GetParam()); }
    size_t bpp() const { return std::get<1>(GetParam()); }
    size_t length() const { return std::get<2>(GetParam()) * bpp() + (bpp() > 1 ? 1 : 0); }
    uint32_t seed() const {
        return static_cast<uint32_t>(filter_type() * 1000003 + static_cast<int>(bpp()) * 1009 +
                                     static_cast<int>(length()));
    }

private:
    VectorKernels vector_kernels_{std::get<3>(GetParam())};
};

TEST_P(UnfilterRow, MatchesReference) {
    for (size_t n : {length(), length() - length() % bpp()}) {
        const Bytes scanline = random_bytes(n, seed());
        const Bytes prev = random_bytes(n, seed() + 1);
        Bytes out(n + 8, 0xa5);
        ASSERT_EQ(unfilter(filter_type(), scanline, prev, bpp(), out), FilterStatus::ok);
        const Bytes expected = reference_unfilter(filter_type(), scanline, prev, bpp());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)), expected)
            << "length " << n;
        // Bytes of `out` past the scanline are not written.
        for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(out[i], 0xa5);
    }
}

TEST_P(UnfilterRow, EmptyPreviousRowActsAsZeroRow) {
    const size_t n = length();
    const Bytes scanline = random_bytes(n, seed());
    Bytes from_empty(n), from_zeros(n);
    ASSERT_EQ(unfilter(filter_type(), scanline, Bytes{}, bpp(), from_empty), FilterStatus::ok);
    ASSERT_EQ(unfilter(filter_type(), scanline, Bytes(n, 0), bpp(), from_zeros), FilterStatus::ok);
    EXPECT_EQ(from_empty, from_zeros);
    EXPECT_EQ(from_empty, reference_unfilter(filter_type(), scanline, Bytes(n, 0), bpp()));
}

// Filtering rows of an image with the naive encoder and undoing it row by
// row must give the image back.
TEST_P(UnfilterRow, RoundTripsNaiveEncoder) {
    const size_t n = length();
    const size_t rows = 4;
    Bytes above(n, 0);
    Bytes reconstructed_above(n, 0);
    for (size_t y = 0; y < rows; ++y) {
        const Bytes original = random_bytes(n, seed() + 7 * static_cast<uint32_t>(y));
        const Bytes scanline = reference_filter(filter_type(), original, above, bpp());
        Bytes out(n);
        ASSERT_EQ(unfilter(filter_type(), scanline, reconstructed_above, bpp(), out),
                  FilterStatus::ok);
        ASSERT_EQ(out, original) << "row " << y;
        above = original;
        reconstructed_above = out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filter, UnfilterRow,
    testing::Combine(testing::Values(0, 1, 2, 3, 4), testing::Values(1u, 2u, 3u, 4u, 6u, 8u),
                     testing::Values(0u, 1u, 2u, 5u, 6u, 17u, 64u, 333u), testing::Bool()));

// Undoes `scanlines` as a run of rows (scanlines[k] with filter_types[k])
// below `prev` into adjacent rows of one buffer, as the decoder lays them
// out, and returns the buffer: the rows, then guard bytes that must stay as
// they were.
Bytes unfilter_rows(const Bytes& filter_types, const std::vector<Bytes>& scanlines, const Bytes& prev, size_t bpp) {
    const size_t n = prev.size();
    Bytes out(scanlines.size() * n + 8, 0xa5);
    std::vector<std::span<const uint8_t>> lines;
    std::vector<std::span<uint8_t>> targets;
    for (size_t k = 0; k < scanlines.size(); ++k) {
        lines.emplace_back(scanlines[k]);
        targets.push_back(std::span<uint8_t>(out).subspan(k * n, n));
    }
    unfilter_run(filter_types, lines, prev, static_cast<int>(bpp), targets);
    return out;
}

// The filters of a run's rows: all Average (3), all Paeth (4), alternating
// from Average (0), or Average and Paeth at random (1).
Bytes run_filters(int pattern, size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes types(count);
    for (size_t k = 0; k < count; ++k) {
        types[k] = static_cast<uint8_t>(pattern >= 3 ? pattern : pattern == 0 ? 3 + static_cast<int>(k % 2)
                                                                               : 3 + static_cast<int>(generator() % 2));
    }
    return types;
}

// Runs of Average and Paeth rows undone in one pass. Parameters: the rows'
// filters (run_filters), rows in the run (groups of eight and four use AVX2
// where the processor has it, pairs SSE2 or NEON), bytes per pixel, row
// length in pixels (plus one extra byte), and whether the vector kernels may
// be used.
class RowRun : public testing::TestWithParam<std::tuple<int, size_t, size_t, size_t, bool>> {
protected:
    int filter_pattern() const { return std::get<0>(GetParam()); }
    size_t count() const { return std::get<1>(GetParam()); }
    size_t bpp() const { return std::get<2>(GetParam()); }
    size_t length() const { return std::get<3>(GetParam()) * bpp() + 1; }
    uint32_t seed() const {
        return static_cast<uint32_t>(static_cast<size_t>(filter_pattern()) * 15485863 + count() * 104729 + bpp() * 7919 + length());
    }

private:
    VectorKernels vector_kernels_{std::get<4>(GetParam())};
};

TEST_P(RowRun, MatchesRowByRow) {
    const Bytes filter_types = run_filters(filter_pattern(), count(), seed());
    for (size_t n : {length(), length() - length() % bpp()}) {
        const Bytes prev = random_bytes(n, seed());
        std::vector<Bytes> scanlines;
        Bytes expected;
        Bytes above = prev;
        for (size_t k = 0; k < count(); ++k) {
            scanlines.push_back(random_bytes(n, seed() + 1 + static_cast<uint32_t>(k)));
            above = reference_unfilter(filter_types[k], scanlines.back(), above, bpp());
            expected.insert(expected.end(), above.begin(), above.end());
        }
        const Bytes out = unfilter_rows(filter_types, scanlines, prev, bpp());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected)
            << "length " << n;
        for (size_t i = expected.size(); i < out.size(); ++i) EXPECT_EQ(out[i], 0xa5);
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, RowRun,
                         testing::Combine(testing::Values(3, 4, 0, 1), testing::Values(1u, 2u, 3u, 4u, 7u, 8u, 15u),
                                          testing::Values(1u, 2u, 3u, 4u, 6u, 8u),
                                          testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 17u, 21u, 24u,
                                                          25u, 26u, 27u, 28u, 29u, 30u, 31u, 64u, 333u),
                                          testing::Bool()));

TEST(RunRowsAtOnce, IsTwoOrEight) {
    const size_t at_once = run_rows_at_once();
    EXPECT_TRUE(at_once == 2 || at_once == 8) << at_once;
}

// Every (left, up, up_left) triple through the Paeth row kernels: even pixels
// hold left as the original value and up_left above them, odd pixels hold up
// above them, so an odd pixel is predicted from exactly that triple. The run
// kernels meet the triples once in each of their rows.
class PaethAllTriples : public testing::TestWithParam<size_t> {};

TEST_P(PaethAllTriples, RoundTripsNaiveEncoder) {
    const size_t bpp = GetParam();
    const size_t triples_per_row = 256 * 256;
    const size_t n = 2 * bpp * ((triples_per_row + bpp - 1) / bpp);
    // The other rows of the runs below, and the row above a run that does
    // not begin with the triples' rows.
    constexpr size_t run = 8;
    std::vector<Bytes> other_rows;
    for (size_t k = 0; k < run; ++k) other_rows.push_back(random_bytes(n, static_cast<uint32_t>(1000 * (k + 1))));
    const Bytes other_prev = random_bytes(n, 7u);
    for (int left = 0; left < 256; ++left) {
        Bytes original = random_bytes(n, static_cast<uint32_t>(left));
        Bytes prev(n);
        for (size_t t = 0; t < triples_per_row; ++t) {
            const size_t pixel = 2 * (t / bpp), channel = t % bpp;
            original[pixel * bpp + channel] = static_cast<uint8_t>(left);
            prev[pixel * bpp + channel] = static_cast<uint8_t>(t & 0xff);
            prev[(pixel + 1) * bpp + channel] = static_cast<uint8_t>(t >> 8);
        }
        const Bytes scanline = reference_filter(4, original, prev, bpp);
        Bytes out(n);
        ASSERT_EQ(unfilter(4, scanline, prev, bpp, out), FilterStatus::ok);
        ASSERT_EQ(out, original) << "left " << left;

        // The triples' rows at places of a run of eight: the row above at
        // place k - 1 (or as the run's previous row), the predicted one at k.
        // A vector register holds one pixel of each row of the run, so the
        // places are its first lane (whose row above comes from memory), the
        // next, the first of its upper half and its last. Runs have vector
        // kernels for 3 and 4 bytes per pixel only.
        for (size_t place : {0u, 1u, 4u, 7u}) {
            if (bpp == 1) break;
            std::vector<Bytes> originals = other_rows;
            originals[place] = original;
            const Bytes& run_prev = place == 0 ? prev : other_prev;
            if (place > 0) originals[place - 1] = prev;
            std::vector<Bytes> scanlines;
            for (size_t k = 0; k < run; ++k) {
                scanlines.push_back(reference_filter(4, originals[k], k == 0 ? run_prev : originals[k - 1], bpp));
            }
            for (bool vector : {true, false}) {
                const VectorKernels setting(vector);
                const Bytes out = unfilter_rows(Bytes(run, 4), scanlines, run_prev, bpp);
                for (size_t k = 0; k < run; ++k) {
                    const auto row = out.begin() + static_cast<std::ptrdiff_t>(k * n);
                    ASSERT_EQ(Bytes(row, row + static_cast<std::ptrdiff_t>(n)), originals[k])
                        << "left " << left << ", place " << place << ", row " << k << ", vector kernels " << vector;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, PaethAllTriples, testing::Values(1u, 3u, 4u));

TEST(UnfilterRowEdges, SubWrapsModulo256) {
    for (size_t bpp : {1u, 3u, 4u, 6u}) {
        Bytes scanline(2 * bpp, 0);
        scanline[0] = 200;
        scanline[bpp] = 100;
        Bytes out(2 * bpp);
        ASSERT_EQ(unfilter(1, scanline, Bytes{}, bpp, out), FilterStatus::ok);
        EXPECT_EQ(out[0], 200);
        EXPECT_EQ(out[bpp], 44) << "bpp " << bpp;
    }
}

TEST(UnfilterRowEdges, AverageHalvesTheNineBitSum) {
    for (size_t bpp : {1u, 3u, 4u, 8u}) {
        // Pixel 0 reconstructs to 255; pixel 1 then has left = up = 255.
        Bytes scanline(2 * bpp, 0);
        Bytes prev(2 * bpp, 255);
        for (size_t k = 0; k < bpp; ++k) scanline[k] = 128;  // 128 + 255 / 2 = 255
        Bytes out(2 * bpp);
        ASSERT_EQ(unfilter(3, scanline, prev, bpp, out), FilterStatus::ok);
        for (size_t k = 0; k < 2 * bpp; ++k) EXPECT_EQ(out[k], 255) << "bpp " << bpp;
    }
}

class UnsupportedFilter : public testing::TestWithParam<int> {};

TEST_P(UnsupportedFilter, LeavesOutputUntouched) {
    const Bytes scanline = random_bytes(12, 5);
    const Bytes prev = random_bytes(12, 6);
    Bytes out(12, 0x5a);
    EXPECT_EQ(unfilter(GetParam(), scanline, prev, 3, out), FilterStatus::unsupported_filter);
    EXPECT_EQ(out, Bytes(12, 0x5a));
}

TEST_P(UnsupportedFilter, EmptyScanlineIsOk) {
    Bytes out(4, 0x5a);
    EXPECT_EQ(unfilter(GetParam(), Bytes{}, Bytes{}, 3, out), FilterStatus::ok);
    EXPECT_EQ(out, Bytes(4, 0x5a));
}

INSTANTIATE_TEST_SUITE_P(Filter, UnsupportedFilter, testing::Values(5, 7, 255, -1, 256));

}  // namespace
