#include "kernels/bmp_rle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "random_bytes.hpp"

namespace {

using tessarin::bmp::BmpRleCanvas;
using tessarin::bmp::BmpStatus;
using tessarin::bmp::bmp_no_row;
using tessarin::bmp::decode_bmp_rle;
using tessarin::testing::Bytes;

// Pillow's decoder, step for step: the indices in stored order, and whether
// the data ended before the end of bitmap with the image not full.
Bytes reference_decode(const Bytes& data, bool four_bit, size_t width, size_t height, bool& ended) {
    Bytes out;
    const size_t total = width * height;
    size_t at = 0, x = 0;
    bool end_of_bitmap = false;
    while (out.size() < total && at + 2 <= data.size()) {
        const size_t count = data[at], value = data[at + 1];
        at += 2;
        if (count != 0) {
            const size_t pixels = x + count > width ? (x < width ? width - x : 0) : count;
            for (size_t i = 0; i < pixels; ++i) {
                out.push_back(static_cast<uint8_t>(four_bit ? (i % 2 ? value & 15 : value >> 4) : value));
            }
            x += pixels;
        } else if (value == 0) {
            while (out.size() % width != 0) out.push_back(0);
            x = 0;
        } else if (value == 1) {
            end_of_bitmap = true;
            break;
        } else if (value == 2) {
            if (at + 2 > data.size()) break;
            out.resize(out.size() + std::min(total - out.size(), data[at] + data[at + 1] * width), 0);
            at += 2;
            x = out.size() % width;
        } else {
            const size_t pixels = std::min(total - out.size(), value);
            const size_t wanted = four_bit ? (pixels + 1) / 2 : pixels, got = std::min(wanted, data.size() - at);
            for (size_t i = 0; i < got; ++i) {
                out.push_back(four_bit ? static_cast<uint8_t>(data[at + i] >> 4) : data[at + i]);
                if (four_bit && 2 * i + 1 < pixels) out.push_back(data[at + i] & 15);
            }
            at += got;
            if (got < wanted || out.size() == total) break;
            x += value;
            at += at % 2;
        }
    }
    ended = !end_of_bitmap && out.size() < total;
    out.resize(total, 0);
    return out;
}

// Decodes into the last third of each row of an RGB-sized buffer, bottom-up
// or top-down, and returns the indices in stored order.
Bytes decode_stored_order(const Bytes& data, bool four_bit, size_t width, size_t height, bool bottom_up,
                          tessarin::bmp::BmpRleResult& result) {
    Bytes rgb(3 * width * height, 0xEE);
    const BmpRleCanvas canvas{std::span(rgb).subspan(2 * width), 3 * width, width, height, bottom_up};
    result = decode_bmp_rle(data, four_bit, canvas);
    Bytes stored(width * height);
    for (size_t row = 0; row < height; ++row) {
        const size_t image_row = bottom_up ? height - 1 - row : row;
        for (size_t x = 0; x < width; ++x) stored[row * width + x] = rgb[3 * width * image_row + 2 * width + x];
        for (size_t x = 0; x < 2 * width; ++x) EXPECT_EQ(rgb[3 * width * row + x], 0xEE) << "written outside";
    }
    return stored;
}

TEST(BmpRle, RunsDeltasEndsOfLineAndOfData) {
    // 5 wide, 3 rows: a run of 3, end of line; an absolute run of 3 (one
    // pad byte), delta 1 right and 1 up; run of 2 cut at the row's end; end.
    const Bytes rle8{3, 7, 0, 0, 0, 3, 4, 5, 6, 0, 0, 2, 1, 1, 9, 8, 0, 1};
    tessarin::bmp::BmpRleResult result;
    EXPECT_EQ(decode_stored_order(rle8, false, 5, 3, true, result),
              (Bytes{7, 7, 7, 0, 0, 4, 5, 6, 0, 0, 0, 0, 0, 0, 8}));
    EXPECT_EQ(result.status, BmpStatus::ok);
    EXPECT_EQ(result.cut_run_row, 0u);  // the cut run, in the top row
    EXPECT_EQ(result.overflow_row, bmp_no_row);
    // RLE4: a run alternating two indices, an absolute run of 3 in 2 bytes.
    const Bytes rle4{5, 0x12, 0, 0, 0, 3, 0xAB, 0xC0, 0, 1};
    EXPECT_EQ(decode_stored_order(rle4, true, 5, 2, false, result), (Bytes{1, 2, 1, 2, 1, 10, 11, 12, 0, 0}));
    EXPECT_EQ(result.overflow_row, bmp_no_row);
    // From column 3 of 5, an absolute run of 3 and a delta 3 right both
    // reach into the next stored row.
    for (const Bytes& spilling : {Bytes{3, 1, 0, 3, 4, 5, 6, 0, 0, 1}, Bytes{3, 1, 0, 2, 3, 0, 0, 1}}) {
        decode_stored_order(spilling, false, 5, 2, true, result);
        EXPECT_EQ(std::make_pair(result.overflow_row, result.cut_run_row), std::make_pair(1u, bmp_no_row));
    }
    // Ending within an absolute run, with two stored rows full: the third
    // from the bottom is the first not reached.
    decode_stored_order(Bytes{4, 1, 0, 0, 2, 1, 0, 3, 1, 2}, false, 4, 4, true, result);
    EXPECT_EQ(std::make_tuple(result.status, result.row), std::make_tuple(BmpStatus::rle_data_ended, 1u));
}

// Random streams of every code, the counts often past the row's end, the
// data often cut short: the same indices as Pillow's decoder.
TEST(BmpRle, RandomStreamsDecodeAsPillowDoes) {
    std::mt19937 generator(33);
    auto below = [&](unsigned bound) {
        return static_cast<uint8_t>(std::uniform_int_distribution<unsigned>(0, bound - 1)(generator));
    };
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t width = 1 + below(12), height = 1 + below(6);
        const bool four_bit = trial % 2 == 1;
        Bytes data;
        for (int op = below(30); op > 0; --op) {
            switch (below(6)) {
                case 0: data.insert(data.end(), {0, 0}); break;
                case 1: data.insert(data.end(), {0, 2, below(8), below(3)}); break;
                case 2: {
                    const uint8_t count = static_cast<uint8_t>(3 + below(16));
                    data.insert(data.end(), {0, count});
                    for (size_t i = 0; i < (four_bit ? (count + 1u) / 2 : count); ++i) data.push_back(below(255));
                    if (data.size() % 2) data.push_back(0);
                    break;
                }
                default: data.insert(data.end(), {static_cast<uint8_t>(1 + below(16)), below(255)});
            }
        }
        if (below(4) == 0) data.insert(data.end(), {0, 1});
        data.resize(data.size() - std::min<size_t>(data.size(), below(3)));
        bool ended = false;
        const Bytes expected = reference_decode(data, four_bit, width, height, ended);
        for (bool bottom_up : {true, false}) {
            tessarin::bmp::BmpRleResult result;
            ASSERT_EQ(decode_stored_order(data, four_bit, width, height, bottom_up, result), expected) << trial;
            ASSERT_EQ(result.status == BmpStatus::rle_data_ended, ended) << trial;
        }
    }
}

}  // namespace
