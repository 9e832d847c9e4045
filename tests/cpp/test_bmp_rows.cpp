#include "kernels/bmp_rows.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <tuple>
#include <vector>

#include "random_bytes.hpp"
#include "vector_kernels.hpp"

namespace {

using tessarin::bmp::BmpHeader;
using tessarin::bmp::BmpMasks;
using tessarin::bmp::BmpRowConverter;
using tessarin::bmp::BmpRowKind;
using tessarin::testing::Bytes;
using tessarin::testing::random_bytes;
using tessarin::testing::VectorKernels;

// Rows of `bits` bits; the palette, if any, at the start of the file bytes.
BmpHeader row_header(uint16_t bits, size_t width, BmpMasks masks = {}, uint32_t palette_entries = 0) {
    BmpHeader header;
    header.width = static_cast<uint32_t>(width), header.height = 1, header.bit_count = bits;
    header.compression = bits > 8 ? 3 : 0, header.masks = masks;
    header.palette_entries = palette_entries, header.palette_entry_size = 4;
    header.row_stride = (width * bits + 31) / 32 * 4;
    return header;
}

// Each channel (pixel & mask) >> shift, times 255, divided by its largest value.
Bytes reference_fields(const Bytes& stored, size_t width, size_t bytes_per_pixel, const BmpMasks& masks) {
    Bytes rgb;
    for (size_t x = 0; x < width; ++x) {
        uint64_t pixel = 0;
        for (size_t i = 0; i < bytes_per_pixel; ++i) pixel |= uint64_t{stored[bytes_per_pixel * x + i]} << (8 * i);
        for (uint32_t mask : {masks.red, masks.green, masks.blue}) {
            const int shift = std::countr_zero(mask);
            rgb.push_back(static_cast<uint8_t>(((pixel & mask) >> shift) * 255 / (mask >> shift)));
        }
    }
    return rgb;
}

Bytes converted(const BmpRowConverter& converter, const Bytes& stored, size_t width) {
    Bytes rgb(3 * width + 1, 0xEE);
    converter.convert(stored, std::span(rgb).first(3 * width));
    EXPECT_EQ(rgb.back(), 0xEE) << "written past the row";
    rgb.pop_back();
    return rgb;
}

// Parameters: row width in pixels, and whether the vector kernels (AVX2,
// NEON) may be used.
class BmpRows : public testing::TestWithParam<std::tuple<size_t, bool>> {
protected:
    size_t width() const { return std::get<0>(GetParam()); }
    uint32_t seed() const { return static_cast<uint32_t>(width()); }

private:
    VectorKernels vector_kernels_{std::get<1>(GetParam())};
};

TEST_P(BmpRows, BitFieldsScaleEachChannel) {
    struct Layout { uint16_t bits; BmpMasks masks; BmpRowKind kind; };
    const Layout layouts[] = {
        {16, {0x7C00, 0x03E0, 0x001F, 0}, BmpRowKind::rgb555},
        {16, {0xF800, 0x07E0, 0x001F, 0}, BmpRowKind::rgb565},
        {16, {0x0030, 0x000E, 0x0001, 0}, BmpRowKind::fields16},
        {16, {0x0F00, 0x00F0, 0x000F, 0xF000}, BmpRowKind::fields16},
        {24, {0xFF0000, 0x00FF00, 0x0000FF, 0}, BmpRowKind::bgr24},
        {24, {0x0000FF, 0x00FF00, 0x3F0000, 0}, BmpRowKind::fields24},
        {32, {0xFF0000, 0x00FF00, 0x0000FF, 0}, BmpRowKind::bytes32},
        {32, {0xFF000000, 0x00FF0000, 0x0000FF00, 0xFF}, BmpRowKind::bytes32},
        {32, {0xFFE00000, 0x001FFC00, 0x000003FF, 0}, BmpRowKind::fields32},
        {32, {0xFE000000, 0x01FFFF80, 0x0000007F, 0}, BmpRowKind::fields32},
    };
    for (const Layout& layout : layouts) {
        const BmpHeader header = row_header(layout.bits, width(), layout.masks);
        const BmpRowConverter converter(header, {});
        ASSERT_EQ(converter.kind(), layout.kind);
        const Bytes stored = random_bytes(header.row_stride, seed());
        EXPECT_EQ(converted(converter, stored, width()), reference_fields(stored, width(), header.bit_count / 8u,
                                                                          layout.masks))
            << layout.bits << " bits, red mask " << layout.masks.red;
    }
}

TEST_P(BmpRows, PaletteIndicesOfEachBitCount) {
    const Bytes palette = random_bytes(4 * 256, seed() + 1);
    for (const uint16_t bits : {uint16_t{1}, uint16_t{2}, uint16_t{4}, uint16_t{8}}) {
        const BmpHeader header = row_header(bits, width(), {}, 1u << bits);
        const BmpRowConverter converter(header, palette);
        const Bytes stored = random_bytes(header.row_stride, seed());
        Bytes expected;
        for (size_t x = 0; x < width(); ++x) {
            const size_t bit = x * bits;
            const unsigned index = stored[bit / 8] >> (8 - bits - bit % 8) & ((1u << bits) - 1);
            expected.insert(expected.end(), {palette[4 * index + 2], palette[4 * index + 1], palette[4 * index]});
        }
        EXPECT_EQ(converted(converter, stored, width()), expected) << bits << " bits";
        if (bits == 8) {
            // Indices in the last third of the RGB row, as the run-length
            // decoder leaves them, expand in place.
            Bytes row(3 * width());
            for (size_t x = 0; x < width(); ++x) row[2 * width() + x] = stored[x];
            converter.convert(std::span(row).subspan(2 * width()), row);
            EXPECT_EQ(row, expected) << "in place";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Bmp, BmpRows,
                         testing::Combine(testing::ValuesIn(tessarin::testing::row_widths()), testing::Bool()));

// Indices past the palette: black, or grey where Pillow reads the palette
// as grey levels.
TEST(BmpRowsPalette, IndicesPastTheEnd) {
    auto pixel_of = [](uint16_t bits, Bytes palette, uint8_t stored) {
        const BmpRowConverter converter(row_header(bits, 1, {}, static_cast<uint32_t>(palette.size() / 4)), palette);
        Bytes rgb(3);
        converter.convert(Bytes{stored, 0, 0, 0}, rgb);
        return rgb;
    };
    const Bytes colours{10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0};
    EXPECT_EQ(pixel_of(8, colours, 200), (Bytes{0, 0, 0}));
    const Bytes grey_levels{0, 0, 0, 0, 1, 1, 1, 0, 2, 2, 2, 0};
    EXPECT_EQ(pixel_of(8, grey_levels, 200), (Bytes{200, 200, 200}));
    EXPECT_EQ(pixel_of(4, grey_levels, 0xF0), (Bytes{0, 0, 0}));
    EXPECT_EQ(pixel_of(1, Bytes{0, 0, 0, 0}, 0x80), (Bytes{255, 255, 255}));
    EXPECT_EQ(pixel_of(1, Bytes{1, 1, 1, 0}, 0x80), (Bytes{0, 0, 0}));
}

}  // namespace
