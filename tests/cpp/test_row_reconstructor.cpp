#include "kernels/png_row_reconstructor.hpp"

#include <gtest/gtest.h>

#include "vector_kernels.hpp"
#include "random_bytes.hpp"
#include "reference_filter.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <tuple>
#include <vector>

namespace {

using tessarin::kernels::RgbPalette;
using tessarin::kernels::ScanlineFormat;
using tessarin::png::RowMemory;
using tessarin::png::RowOutput;
using tessarin::png::RowReconstructor;
using tessarin::png::RowStatus;
using tessarin::testing::VectorKernels;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::reference_unfilter;

// Memory from vectors, recording what was asked for; `limit` refuses any
// single request above it.
class VectorMemory final : public RowMemory {
public:
    explicit VectorMemory(size_t limit = SIZE_MAX) : limit_(limit) {}

    bool output(size_t size, std::span<uint8_t>& out) override {
        ++output_requests;
        return give(output_, size, out);
    }
    bool carry(size_t size, std::span<uint8_t>& out) override {
        largest_carry = std::max(largest_carry, size);
        return give(carry_, size, out);
    }
    bool ring(size_t size, std::span<uint8_t>& out) override {
        ring_bytes = size;
        return give(ring_, size, out);
    }

    const Bytes& pixels() const { return output_; }
    int output_requests = 0;
    size_t largest_carry = 0, ring_bytes = 0;

private:
    bool give(Bytes& buffer, size_t size, std::span<uint8_t>& out) {
        if (size > limit_) return false;
        buffer.resize(size, 0xa5);
        out = buffer;
        return true;
    }
    size_t limit_;
    Bytes output_, carry_, ring_;
};

// The scanline formats the tests use, by bytes per pixel: 8-bit RGB (3)
// and RGBA (4) as the decoder reconstructs them, and two formats converted
// by the test's own converters, 8-bit grey (1) and 16-bit RGB (6).
void grey8_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette&) noexcept {
    for (size_t x = 0; x < rgb.size() / 3; ++x) rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = scanline[x];
}

void rgb16_to_rgb(std::span<const uint8_t> scanline, std::span<uint8_t> rgb, const RgbPalette&) noexcept {
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = scanline[2 * i];
}

// A pixel's RGB bytes from its reconstructed bytes, written out per format.
Bytes reference_rgb(const uint8_t* pixel, size_t bpp) {
    switch (bpp) {
        case 1: return {pixel[0], pixel[0], pixel[0]};
        case 6: return {pixel[0], pixel[2], pixel[4]};
        default: return {pixel[0], pixel[1], pixel[2]};
    }
}

// The output of scanlines of `bpp` bytes per pixel: made into rows of
// `width` RGB pixels; 8-bit RGB ones reconstructed in place.
RowOutput rgb_output(size_t width, size_t bpp) {
    RowOutput output{3 * width};
    if (bpp == 4) output.convert = tessarin::kernels::png_row_to_rgb(6, 8);
    if (bpp == 1) output.convert = grey8_to_rgb;
    if (bpp == 6) output.convert = rgb16_to_rgb;
    return output;
}

RowReconstructor reconstructor(size_t width, size_t rows, size_t bpp, size_t run_rows, RowMemory& memory) {
    const ScanlineFormat format{bpp, width * bpp};
    return RowReconstructor(format, rows, rgb_output(width, bpp), run_rows, memory);
}

struct Image {
    Bytes data;      // the inflated stream: filter byte and scanline per row
    Bytes expected;  // the RGB pixels
};

// Rows with the given filter types, each reconstructed by the reference,
// then made RGB.
Image make_image(size_t width, const std::vector<int>& filters, size_t bpp, uint32_t seed) {
    Image image;
    Bytes above(width * bpp, 0);
    for (size_t y = 0; y < filters.size(); ++y) {
        const Bytes scanline = random_bytes(width * bpp, seed + static_cast<uint32_t>(y));
        image.data.push_back(static_cast<uint8_t>(filters[y]));
        image.data.insert(image.data.end(), scanline.begin(), scanline.end());
        above = reference_unfilter(filters[y], scanline, above, bpp);
        for (size_t x = 0; x < width; ++x) {
            const Bytes rgb = reference_rgb(&above[x * bpp], bpp);
            image.expected.insert(image.expected.end(), rgb.begin(), rgb.end());
        }
    }
    return image;
}

// Filter types per row: mixed at random, or only Average and Paeth (at
// random), which the reconstructor undoes several rows at a time.
std::vector<int> filter_pattern(bool runs, size_t rows, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<int> filters(rows);
    for (size_t y = 0; y < rows; ++y) {
        filters[y] = runs ? 3 + static_cast<int>(generator() % 2) : static_cast<int>(generator() % 5);
    }
    return filters;
}

// Pieces of the stream: one byte at a time, a row less or more one byte, or
// sizes at random.
std::vector<size_t> piece_sizes(int kind, size_t row_size, size_t total, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<size_t> sizes;
    for (size_t fed = 0; fed < total;) {
        size_t size = kind == 0 ? 1 : kind == 1 ? std::max<size_t>(row_size - 1, 1) : kind == 2 ? row_size + 1
                                                                                 : 1 + generator() % (3 * row_size);
        size = std::min(size, total - fed);
        sizes.push_back(size);
        fed += size;
    }
    return sizes;
}

// Bytes per pixel, width in pixels, row count, runs or mixed filters, piece
// kind, rows undone at once, whether the vector kernels (AVX2, NEON) may run.
class Reconstruct
    : public testing::TestWithParam<std::tuple<size_t, size_t, size_t, bool, int, size_t, bool>> {
protected:
    size_t bpp() const { return std::get<0>(GetParam()); }
    size_t width() const { return std::get<1>(GetParam()); }
    size_t rows() const { return std::get<2>(GetParam()); }
    bool runs() const { return std::get<3>(GetParam()); }
    int pieces() const { return std::get<4>(GetParam()); }
    size_t run_rows() const { return std::get<5>(GetParam()); }
    uint32_t seed() const { return static_cast<uint32_t>(bpp() * 7919 + width() * 104729 + rows() * 31); }

private:
    VectorKernels vector_kernels_{std::get<6>(GetParam())};
};

TEST_P(Reconstruct, PiecesGiveTheReferencePixels) {
    const Image image = make_image(width(), filter_pattern(runs(), rows(), seed()), bpp(), seed());
    VectorMemory memory;
    RowReconstructor reconstructor = ::reconstructor(width(), rows(), bpp(), run_rows(), memory);
    size_t fed = 0;
    for (size_t size : piece_sizes(pieces(), width() * bpp() + 1, image.data.size(), seed())) {
        reconstructor.feed(std::span(image.data).subspan(fed, size));
        fed += size;
    }
    ASSERT_EQ(reconstructor.finish(), RowStatus::ok);
    EXPECT_EQ(reconstructor.received(), image.data.size());
    EXPECT_EQ(memory.pixels(), image.expected);
    EXPECT_EQ(memory.output_requests, 1);
    // Rows split between pieces are gathered up to a run.
    EXPECT_LE(memory.largest_carry, std::max<size_t>(run_rows(), 1) * (width() * bpp() + 1));
    if (bpp() != 3 && width() > 0 && rows() > 0) {
        EXPECT_LE(memory.ring_bytes, std::min(rows(), run_rows() + 1) * width() * bpp());
    }
}

INSTANTIATE_TEST_SUITE_P(RowReconstructor, Reconstruct,
                         testing::Combine(testing::Values(3u, 4u, 1u, 6u), testing::Values(0u, 1u, 2u, 5u, 33u),
                                          testing::Values(0u, 1u, 2u, 13u, 29u), testing::Bool(),
                                          testing::Values(0, 1, 2, 3), testing::Values(1u, 2u, 4u, 8u),
                                          testing::Bool()));

// An Adam7 pass: bytes per pixel, first column and column spacing, row
// spacing, and rows undone at once.
class ReconstructPass
    : public testing::TestWithParam<std::tuple<size_t, uint32_t, uint32_t, uint32_t, size_t>> {};

TEST_P(ReconstructPass, FillsItsRowsAndColumnsOfTheResultAlone) {
    const auto [bpp, first_column, column_spacing, row_spacing, run_rows] = GetParam();
    const size_t image_width = 13, columns = (image_width - first_column - 1) / column_spacing + 1, rows = 11;
    const uint32_t seed = static_cast<uint32_t>(bpp * 31 + first_column * 7 + column_spacing);
    const Image pass = make_image(columns, filter_pattern(true, rows, seed), bpp, seed);
    RowOutput output = rgb_output(image_width, bpp);
    // 8-bit RGB is reconstructed in place only where it fills whole rows.
    if (bpp == 3 && (first_column != 0 || column_spacing != 1)) output.convert = tessarin::kernels::png_row_to_rgb(2, 8);
    output.row_spacing = row_spacing;
    output.first_column = first_column;
    output.column_spacing = column_spacing;
    VectorMemory memory;
    RowReconstructor reconstructor(ScanlineFormat{bpp, columns * bpp}, rows, output, run_rows, memory);
    size_t fed = 0;
    for (size_t size : piece_sizes(3, columns * bpp + 1, pass.data.size(), seed)) {
        reconstructor.feed(std::span(pass.data).subspan(fed, size));
        fed += size;
    }
    ASSERT_EQ(reconstructor.finish(), RowStatus::ok);
    // From the pass's first row to the end of its last; the rows and
    // columns between stay as the memory came.
    Bytes expected(((rows - 1) * row_spacing + 1) * 3 * image_width, 0xa5);
    for (size_t y = 0; y < rows; ++y) {
        for (size_t x = 0; x < columns; ++x) {
            const size_t to = (y * row_spacing * image_width + first_column + x * column_spacing) * 3;
            std::copy_n(&pass.expected[(y * columns + x) * 3], 3, &expected[to]);
        }
    }
    EXPECT_EQ(memory.pixels(), expected);
}

INSTANTIATE_TEST_SUITE_P(RowReconstructor, ReconstructPass,
                         testing::Combine(testing::Values(3u, 4u, 1u), testing::Values(0u, 1u), testing::Values(1u, 2u, 8u),
                                          testing::Values(1u, 2u, 8u), testing::Values(1u, 8u)));

TEST(RowReconstructorMemory, FollowsTheDataNotTheClaimedSize) {
    // One RGBA row of 4 GiB of which three bytes arrive.
    VectorMemory memory;
    RowReconstructor reconstructor = ::reconstructor(size_t{1} << 30, 1, 4, 4, memory);
    const Bytes start = {0, 1, 2};
    reconstructor.feed(start);
    EXPECT_EQ(reconstructor.status(), RowStatus::ok);
    EXPECT_EQ(memory.output_requests, 0);
    EXPECT_EQ(memory.ring_bytes, 0u);
    EXPECT_LE(memory.largest_carry, 4096u);
}

TEST(RowReconstructorMemory, RefusedMemoryStopsAndIsReported) {
    const Image image = make_image(64, filter_pattern(false, 8, 1), 4, 1);
    VectorMemory memory(64 * 4);  // room for one RGBA row, not for the ring
    RowReconstructor reconstructor = ::reconstructor(64, 8, 4, 2, memory);
    reconstructor.feed(image.data);
    EXPECT_EQ(reconstructor.status(), RowStatus::no_memory);
    EXPECT_EQ(reconstructor.received(), image.data.size());
    EXPECT_EQ(reconstructor.finish(), RowStatus::no_memory);
}

TEST(RowReconstructorFilter, UnsupportedTypeStopsWithItsByte) {
    Image image = make_image(3, {1, 2, 3, 4}, 3, 5);
    image.data[2 * (3 * 3 + 1)] = 9;
    VectorMemory memory;
    RowReconstructor reconstructor = ::reconstructor(3, 4, 3, 4, memory);
    reconstructor.feed(image.data);
    EXPECT_EQ(reconstructor.status(), RowStatus::unsupported_filter);
    EXPECT_EQ(reconstructor.unsupported_filter_type(), 9);
    EXPECT_EQ(reconstructor.received(), image.data.size());
    // The rows before it are done.
    EXPECT_TRUE(std::equal(image.expected.begin(), image.expected.begin() + 18, memory.pixels().begin()));
}

TEST(RowReconstructorFilter, UnsupportedTypeInARunBeingGatheredStopsOnceWhole) {
    Image image = make_image(3, {1, 3, 4, 3, 4, 3}, 3, 6);
    const size_t row_size = 3 * 3 + 1;
    image.data[3 * row_size] = 7;
    VectorMemory memory;
    RowReconstructor reconstructor = ::reconstructor(3, 6, 3, 8, memory);
    // Rows 1 and 2 begin a run that waits for more rows; row 3 arrives whole.
    reconstructor.feed(std::span(image.data).first(3 * row_size + 1));
    EXPECT_EQ(reconstructor.status(), RowStatus::ok);
    reconstructor.feed(std::span(image.data).subspan(3 * row_size + 1, row_size - 1));
    EXPECT_EQ(reconstructor.status(), RowStatus::unsupported_filter);
    EXPECT_EQ(reconstructor.unsupported_filter_type(), 7);
    EXPECT_EQ(reconstructor.rows_done(), 3u);
    EXPECT_TRUE(std::equal(image.expected.begin(), image.expected.begin() + 27, memory.pixels().begin()));
}

}  // namespace
