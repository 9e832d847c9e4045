#include "kernels/bmp_header.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "random_bytes.hpp"

namespace {

using tessarin::bmp::BmpHeader;
using tessarin::bmp::BmpStatus;
using tessarin::testing::Bytes;

struct BmpSpec {
    uint32_t header_size = 40;
    int32_t width = 3, height = 2;
    uint16_t planes = 1, bit_count = 8;
    uint32_t compression = 0, colours_used = 0;
    std::vector<uint32_t> masks;  // in the header from 52 bytes on, else after it
    uint32_t palette_entries = 4;
    std::optional<uint32_t> data_offset;  // just after the palette unless given
};

void put_le(Bytes& bytes, size_t at, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The file header, information header, masks and palette `spec` describes,
// field by field.
Bytes bmp_headers(const BmpSpec& spec) {
    const size_t masks_after = spec.header_size >= 52 ? 0 : spec.masks.size(), field = spec.header_size == 12 ? 2 : 4;
    Bytes bytes(14 + spec.header_size + 4 * masks_after);
    bytes[0] = 'B', bytes[1] = 'M';
    put_le(bytes, 14, spec.header_size, 4);
    put_le(bytes, 18, static_cast<uint32_t>(spec.width), field);
    put_le(bytes, 18 + field, static_cast<uint32_t>(spec.height), field);
    put_le(bytes, 18 + 2 * field, spec.planes, 2);
    put_le(bytes, 20 + 2 * field, spec.bit_count, 2);
    if (spec.header_size >= 40) put_le(bytes, 30, spec.compression, 4), put_le(bytes, 46, spec.colours_used, 4);
    for (size_t i = 0; i < spec.masks.size(); ++i) put_le(bytes, 54 + 4 * i, spec.masks[i], 4);
    for (uint32_t i = 0; i < spec.palette_entries * (spec.header_size == 12 ? 3 : 4); ++i) {
        bytes.push_back(static_cast<uint8_t>(i));
    }
    put_le(bytes, 10, spec.data_offset.value_or(static_cast<uint32_t>(bytes.size())), 4);
    return bytes;
}

using Change = std::function<void(BmpSpec&)>;

BmpStatus parsed(const Change& change, BmpHeader& header) {
    BmpSpec spec;
    change(spec);
    return tessarin::bmp::parse_bmp_header(bmp_headers(spec), header);
}

Change fields(uint16_t bits, uint32_t compression, std::vector<uint32_t> masks) {
    return [=](BmpSpec& s) { s.bit_count = bits, s.compression = compression, s.masks = masks; };
}

class HeaderSizes : public testing::TestWithParam<uint32_t> {};

TEST_P(HeaderSizes, ReadFieldsAndPlaceThePaletteFromTheBytesAskedFor) {
    const BmpSpec spec{GetParam(), 300, GetParam() == 12 ? 5 : -5, 1, 4, 0, 0, {}, 16, std::nullopt};
    const Bytes bytes = bmp_headers(spec);
    BmpHeader header;
    ASSERT_EQ(tessarin::bmp::parse_bmp_header(bytes, header), BmpStatus::ok);
    EXPECT_EQ(std::make_tuple(header.width, header.height, header.top_down, header.bit_count),
              std::make_tuple(300u, 5u, spec.height < 0, uint16_t{4}));
    EXPECT_EQ(header.palette_entry_size, spec.header_size == 12 ? 3u : 4u);
    EXPECT_EQ(header.palette_offset, 14 + spec.header_size);
    EXPECT_EQ(header.palette_entries, 16u);
    EXPECT_EQ(header.pixel_offset, bytes.size());
    EXPECT_EQ(std::make_tuple(header.row_stride, header.stored_bytes, header.rgb_bytes),
              std::make_tuple(uint64_t{152}, uint64_t{5 * 152}, uint64_t{5 * 900}));  // 150 bytes padded to 4
    // Asked again with what it asked for, it grows to the whole; no parse of
    // fewer bytes succeeds.
    size_t known = 0;
    for (size_t needed; (needed = tessarin::bmp::bmp_header_bytes_needed(std::span(bytes).first(known))) > known;) {
        EXPECT_EQ(tessarin::bmp::parse_bmp_header(std::span(bytes).first(known), header),
                  BmpStatus::truncated_header);
        known = needed;
    }
    EXPECT_EQ(known, bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Bmp, HeaderSizes, testing::Values(12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u));

TEST(BmpHeader, MasksComeFromTheHeaderOrAfterIt) {
    BmpHeader header;
    for (uint32_t size : {40u, 52u, 56u, 108u}) {
        const std::vector<uint32_t> masks{0xF800, 0x07E0, 0x001F, 0x0000};
        const Change change = [&](BmpSpec& s) {
            s.header_size = size, s.bit_count = 16, s.compression = 3;
            s.masks.assign(masks.begin(), masks.begin() + (size == 40 || size == 52 ? 3 : 4));
        };
        ASSERT_EQ(parsed(change, header), BmpStatus::ok) << size;
        EXPECT_EQ(header.masks.green, 0x07E0u) << size;
        EXPECT_EQ(header.palette_offset, 14 + size + (size == 40 ? 12 : 0)) << size;
    }
    // All zero means the default layout, as do plain pixels.
    ASSERT_EQ(parsed(fields(32, 3, {0, 0, 0}), header), BmpStatus::ok);
    EXPECT_EQ(header.masks.red, 0xFF0000u);
    ASSERT_EQ(parsed([](BmpSpec& s) { s.bit_count = 16; }, header), BmpStatus::ok);
    EXPECT_EQ(header.masks.red, 0x7C00u);
}

TEST(BmpHeader, PaletteIsCutByThePixelDataAndTheBitCount) {
    BmpHeader header;
    auto twelve_colours = [](uint32_t offset) {
        return [=](BmpSpec& s) { s.colours_used = 12, s.palette_entries = 12, s.data_offset = offset; };
    };
    ASSERT_EQ(parsed(twelve_colours(54 + 32), header), BmpStatus::ok);
    EXPECT_EQ(header.palette_entries, 8u);
    // Pointing just past the information header: after the declared palette.
    ASSERT_EQ(parsed(twelve_colours(54), header), BmpStatus::ok);
    EXPECT_EQ(std::make_tuple(header.pixel_offset, header.palette_entries), std::make_tuple(uint64_t{54 + 48}, 12u));
    ASSERT_EQ(parsed([](BmpSpec& s) { s.bit_count = 1, s.colours_used = 300, s.palette_entries = 300; }, header),
              BmpStatus::ok);
    EXPECT_EQ(std::make_tuple(header.pixel_offset, header.palette_entries), std::make_tuple(uint64_t{54 + 1200}, 2u));
}

TEST(BmpHeader, EmbeddedPngKeepsItsOffset) {
    BmpHeader header;
    EXPECT_EQ(parsed([](BmpSpec& s) { s.bit_count = 0, s.compression = 5, s.data_offset = 138; }, header),
              BmpStatus::png_embedded);
    EXPECT_EQ(header.data_offset, 138u);
}

class Refusals : public testing::TestWithParam<std::tuple<std::string, Change, BmpStatus>> {};

TEST_P(Refusals, NameTheReason) {
    BmpHeader header;
    EXPECT_EQ(parsed(std::get<1>(GetParam()), header), std::get<2>(GetParam()));
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
        refusal("compression_7", [](BmpSpec& s) { s.compression = 7; }, BmpStatus::unknown_compression),
        refusal("bits_3", [](BmpSpec& s) { s.bit_count = 3; }, BmpStatus::bad_bit_count),
        refusal("rle4_of_8_bits", [](BmpSpec& s) { s.compression = 2; }, BmpStatus::bad_bit_count),
        refusal("width_negative", [](BmpSpec& s) { s.width = -3; }, BmpStatus::width_out_of_range),
        refusal("height_0", [](BmpSpec& s) { s.height = 0; }, BmpStatus::height_out_of_range),
        refusal("height_min", [](BmpSpec& s) { s.height = INT32_MIN; }, BmpStatus::height_out_of_range),
        refusal("rle_top_down", [](BmpSpec& s) { s.compression = 1, s.height = -2; }, BmpStatus::compressed_top_down),
        refusal("mask_zero", fields(16, 3, {0xF800, 0, 0x1F}), BmpStatus::mask_zero),
        refusal("mask_gap", fields(16, 3, {0xF000, 0xC10, 3}), BmpStatus::mask_not_contiguous),
        refusal("masks_overlap", fields(32, 3, {0xFF0000, 0x1FF00, 0xFF}), BmpStatus::masks_overlap),
        refusal("alpha_gap", fields(32, 6, {0xFF0000, 0xFF00, 0xFF, 0x1000080}), BmpStatus::mask_not_contiguous),
        refusal("mask_past_16_bits", fields(16, 3, {0x1F800, 0x7E0, 0x1F}), BmpStatus::mask_outside_pixel),
        refusal("palette_65537", [](BmpSpec& s) { s.colours_used = 65537; }, BmpStatus::palette_too_large),
        refusal("data_in_masks", [](BmpSpec& s) { fields(16, 3, {0xF800, 0x7E0, 0x1F})(s), s.data_offset = 60; },
                BmpStatus::data_offset_inside_header),
        refusal("stored_size", [](BmpSpec& s) { s.bit_count = 32, s.width = INT32_MAX, s.height = INT32_MAX; },
                BmpStatus::image_too_large)),
    [](const auto& info) { return std::get<0>(info.param); });

}  // namespace
