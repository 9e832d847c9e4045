#include "kernels/bmp_header.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "bmp_builder.hpp"

namespace {

using tessarin::bmp::BmpHeader;
using tessarin::bmp::BmpStatus;
using tessarin::bmp::bmp_header_bytes_needed;
using tessarin::bmp::parse_bmp_header;
using tessarin::testing::BmpSpec;
using tessarin::testing::Bytes;
using tessarin::testing::bmp_headers;

using Change = std::function<void(BmpSpec&)>;

// The headers of the default spec with `change` made, parsed.
BmpStatus parsed(const Change& change, BmpHeader& header) {
    BmpSpec spec;
    change(spec);
    return parse_bmp_header(bmp_headers(spec), header);
}

class HeaderSizes : public testing::TestWithParam<uint32_t> {};

TEST_P(HeaderSizes, ReadsFieldsAndPlacesThePalette) {
    BmpSpec spec;
    spec.header_size = GetParam(), spec.width = 300, spec.height = spec.header_size == 12 ? 5 : -5;
    spec.bit_count = 4, spec.palette_entries = 16;
    const Bytes bytes = bmp_headers(spec);
    BmpHeader header;
    ASSERT_EQ(parse_bmp_header(bytes, header), BmpStatus::ok);
    EXPECT_EQ(header.width, 300u);
    EXPECT_EQ(header.height, 5u);
    EXPECT_EQ(header.top_down, spec.height < 0);
    EXPECT_EQ(header.bit_count, 4);
    const uint32_t entry_size = spec.header_size == 12 ? 3 : 4;
    EXPECT_EQ(header.palette_entry_size, entry_size);
    EXPECT_EQ(header.palette_offset, 14 + spec.header_size);
    EXPECT_EQ(header.palette_entries, 16u);
    EXPECT_EQ(header.pixel_offset, bytes.size());
    EXPECT_EQ(header.row_stride, 152u);  // 150 bytes, padded to 4
    EXPECT_EQ(header.stored_bytes, 5 * 152u);
    EXPECT_EQ(header.rgb_bytes, 5 * 900u);

    // Asked byte by byte, the bytes needed grow to the whole, and no parse
    // of fewer succeeds.
    size_t known = 0;
    while (bmp_header_bytes_needed(std::span(bytes).first(known)) > known) {
        BmpHeader partial;
        EXPECT_EQ(parse_bmp_header(std::span(bytes).first(known), partial), BmpStatus::truncated_header);
        known = bmp_header_bytes_needed(std::span(bytes).first(known));
    }
    EXPECT_EQ(known, bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Bmp, HeaderSizes, testing::Values(12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u));

TEST(BmpHeader, MasksComeFromTheHeaderOrAfterIt) {
    const std::vector<uint32_t> masks{0xF800, 0x07E0, 0x001F, 0};
    for (uint32_t size : {40u, 52u, 56u, 108u}) {
        BmpHeader header;
        ASSERT_EQ(parsed([&](BmpSpec& s) {
                      s.header_size = size, s.bit_count = 16, s.compression = 3;
                      s.masks.assign(masks.begin(), masks.begin() + (size == 56 || size == 108 ? 4 : 3));
                  }, header),
                  BmpStatus::ok) << size;
        EXPECT_EQ(header.masks.green, 0x07E0u) << size;
        EXPECT_EQ(header.palette_offset, 14 + size + (size == 40 ? 12 : 0)) << size;
    }
    // All zero means the default layout; plain 32-bit pixels have it too.
    BmpHeader header;
    ASSERT_EQ(parsed([](BmpSpec& s) { s.bit_count = 32, s.compression = 3, s.masks = {0, 0, 0}; }, header),
              BmpStatus::ok);
    EXPECT_EQ(header.masks.red, 0xFF0000u);
    ASSERT_EQ(parsed([](BmpSpec& s) { s.bit_count = 16; }, header), BmpStatus::ok);
    EXPECT_EQ(header.masks.red, 0x7C00u);
}

TEST(BmpHeader, PaletteIsCutByThePixelDataAndTheBitCount) {
    // 12 entries, 8 of them before the pixel data.
    BmpHeader header;
    auto twelve_colours = [](uint32_t data_offset) {
        return [=](BmpSpec& s) { s.bit_count = 8, s.colours_used = 12, s.palette_entries = 12, s.data_offset = data_offset; };
    };
    ASSERT_EQ(parsed(twelve_colours(54 + 32), header), BmpStatus::ok);
    EXPECT_EQ(header.palette_entries, 8u);
    // Pointing just past the information header: after the declared palette.
    ASSERT_EQ(parsed(twelve_colours(54), header), BmpStatus::ok);
    EXPECT_EQ(header.pixel_offset, 54u + 48);
    EXPECT_EQ(header.palette_entries, 12u);
    // More colours than 1-bit indices reach.
    ASSERT_EQ(parsed([](BmpSpec& s) { s.bit_count = 1, s.colours_used = 300, s.palette_entries = 300; }, header),
              BmpStatus::ok);
    EXPECT_EQ(header.palette_entries, 2u);
    EXPECT_EQ(header.pixel_offset, 54u + 1200);
}

class Refusals : public testing::TestWithParam<std::tuple<std::string, Change, BmpStatus>> {};

TEST_P(Refusals, NameTheReason) {
    BmpHeader header;
    EXPECT_EQ(parsed([](BmpSpec& s) { s.bit_count = 8, s.palette_entries = 4, std::get<1>(GetParam())(s); }, header),
              std::get<2>(GetParam()));
}

auto refusal(std::string name, Change change, BmpStatus status) { return std::make_tuple(name, change, status); }

INSTANTIATE_TEST_SUITE_P(
    Bmp, Refusals,
    testing::Values(
        refusal("header_66", [](BmpSpec& s) { s.header_size = 66; }, BmpStatus::unknown_header_size),
        refusal("planes_2", [](BmpSpec& s) { s.planes = 2; }, BmpStatus::bad_planes),
        refusal("os2_huffman", [](BmpSpec& s) { s.header_size = 64, s.bit_count = 1, s.compression = 3; },
                BmpStatus::os2_huffman),
        refusal("os2_rle24", [](BmpSpec& s) { s.header_size = 64, s.compression = 4; }, BmpStatus::os2_rle24),
        refusal("jpeg", [](BmpSpec& s) { s.bit_count = 0, s.compression = 4; }, BmpStatus::jpeg_embedded),
        refusal("png", [](BmpSpec& s) { s.bit_count = 0, s.compression = 5; }, BmpStatus::png_embedded),
        refusal("compression_7", [](BmpSpec& s) { s.compression = 7; }, BmpStatus::unknown_compression),
        refusal("bits_3", [](BmpSpec& s) { s.bit_count = 3; }, BmpStatus::bad_bit_count),
        refusal("rle4_of_8_bits", [](BmpSpec& s) { s.compression = 2; }, BmpStatus::bad_bit_count),
        refusal("bitfields_of_8_bits", [](BmpSpec& s) { s.compression = 3; }, BmpStatus::bad_bit_count),
        refusal("width_0", [](BmpSpec& s) { s.width = 0; }, BmpStatus::width_out_of_range),
        refusal("width_negative", [](BmpSpec& s) { s.width = -3; }, BmpStatus::width_out_of_range),
        refusal("height_0", [](BmpSpec& s) { s.height = 0; }, BmpStatus::height_out_of_range),
        refusal("height_min", [](BmpSpec& s) { s.height = INT32_MIN; }, BmpStatus::height_out_of_range),
        refusal("rle_top_down", [](BmpSpec& s) { s.compression = 1, s.height = -2; }, BmpStatus::compressed_top_down),
        refusal("mask_zero", [](BmpSpec& s) { s.bit_count = 16, s.compression = 3, s.masks = {0xF800, 0, 0x1F}; },
                BmpStatus::mask_zero),
        refusal("mask_gap", [](BmpSpec& s) { s.bit_count = 16, s.compression = 3, s.masks = {0xF000, 0x0C10, 0x3}; },
                BmpStatus::mask_not_contiguous),
        refusal("masks_overlap",
                [](BmpSpec& s) { s.bit_count = 32, s.compression = 3, s.masks = {0xFF0000, 0x01FF00, 0xFF}; },
                BmpStatus::masks_overlap),
        refusal("alpha_gap",
                [](BmpSpec& s) {
                    s.bit_count = 32, s.compression = 6, s.masks = {0xFF0000, 0xFF00, 0xFF, 0x1000000 | 0x80};
                },
                BmpStatus::mask_not_contiguous),
        refusal("mask_above_16_bits",
                [](BmpSpec& s) { s.bit_count = 16, s.compression = 3, s.masks = {0x1F800, 0x7E0, 0x1F}; },
                BmpStatus::mask_outside_pixel),
        refusal("palette_65537", [](BmpSpec& s) { s.colours_used = 65537; }, BmpStatus::palette_too_large),
        refusal("data_in_masks", [](BmpSpec& s) { s.bit_count = 16, s.compression = 3, s.masks = {0xF800, 0x7E0, 0x1F}, s.data_offset = 60; },
                BmpStatus::data_offset_inside_header),
        refusal("stored_size", [](BmpSpec& s) { s.bit_count = 32, s.width = INT32_MAX, s.height = INT32_MAX; },
                BmpStatus::image_too_large),
        refusal("rgb_size", [](BmpSpec& s) { s.bit_count = 1, s.width = INT32_MAX, s.height = INT32_MAX; },
                BmpStatus::image_too_large)),
    [](const auto& info) { return std::get<0>(info.param); });

TEST(BmpHeader, EmbeddedPngKeepsItsOffsetAndSignatureIsChecked) {
    BmpHeader header;
    ASSERT_EQ(parsed([](BmpSpec& s) { s.header_size = 124, s.bit_count = 0, s.compression = 5, s.data_offset = 138; },
                     header),
              BmpStatus::png_embedded);
    EXPECT_EQ(header.data_offset, 138u);
    Bytes bytes = bmp_headers(BmpSpec());
    bytes[1] = 'A';
    EXPECT_EQ(parse_bmp_header(bytes, header), BmpStatus::not_bmp);
}

}  // namespace
