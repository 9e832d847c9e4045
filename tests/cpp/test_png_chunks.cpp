#include "kernels/png_chunks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "random_bytes.hpp"

namespace {

using tessarin::kernels::ChunkStatus;
using tessarin::kernels::png_chunk_is_critical;
using tessarin::kernels::png_chunk_type_is;
using tessarin::kernels::PngChunk;
using tessarin::kernels::PngChunkWalker;
using tessarin::testing::Bytes;

void append_u32(Bytes& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// A chunk laid out by hand, its CRC field an arbitrary marker: the walker
// reports it and does not check it.
void append_chunk(Bytes& file, const std::string& type, const Bytes& data, uint32_t crc) {
    append_u32(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), type.begin(), type.end());
    file.insert(file.end(), data.begin(), data.end());
    append_u32(file, crc);
}

Bytes signature() { return {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a}; }

struct Expected {
    size_t offset;
    std::string type;
    Bytes data;
    uint32_t crc;
};

// IHDR, an empty ancillary chunk, IDAT, IEND; chunk k starts at offsets[k].
Bytes sample_file(std::vector<Expected>& chunks) {
    chunks = {{8, "IHDR", tessarin::testing::random_bytes(13, 1), 0x01020304},
              {33, "tEXt", {}, 0xfffffffe},
              {45, "IDAT", tessarin::testing::random_bytes(300, 2), 0x80000001},
              {357, "IEND", {}, 0xae426082}};
    Bytes file = signature();
    for (const Expected& chunk : chunks) append_chunk(file, chunk.type, chunk.data, chunk.crc);
    return file;
}

TEST(PngChunks, WalksEveryChunkThenEnds) {
    std::vector<Expected> expected;
    const Bytes file = sample_file(expected);
    PngChunkWalker walker(file);
    PngChunk chunk{};
    for (const Expected& want : expected) {
        ASSERT_EQ(walker.next(chunk), ChunkStatus::ok);
        EXPECT_EQ(chunk.offset, want.offset);
        EXPECT_EQ(chunk.length, want.data.size());
        EXPECT_EQ(std::string(chunk.type, chunk.type + 4), want.type);
        EXPECT_EQ(Bytes(chunk.data.begin(), chunk.data.end()), want.data);
        Bytes crc_input(want.type.begin(), want.type.end());
        crc_input.insert(crc_input.end(), want.data.begin(), want.data.end());
        EXPECT_EQ(Bytes(chunk.crc_input.begin(), chunk.crc_input.end()), crc_input);
        EXPECT_EQ(chunk.stored_crc, want.crc);
        EXPECT_EQ(png_chunk_is_critical(chunk), want.type != "tEXt");
        EXPECT_TRUE(png_chunk_type_is(chunk, "IHDR") == (want.type == "IHDR"));
    }
    EXPECT_EQ(walker.next(chunk), ChunkStatus::end);
    EXPECT_EQ(walker.next(chunk), ChunkStatus::end);
    EXPECT_EQ(walker.offset(), file.size());
}

// The file cut at every length: the chunks wholly inside are read, then
// the walk ends at a chunk boundary, or reports the cut header or data.
TEST(PngChunks, ReportsWhereATruncatedFileIsCut) {
    std::vector<Expected> expected;
    const Bytes file = sample_file(expected);
    for (size_t size = 0; size <= file.size(); ++size) {
        PngChunkWalker walker(std::span<const uint8_t>(file).first(size));
        PngChunk chunk{};
        size_t whole = 0;
        while (whole < expected.size() && expected[whole].offset + 12 + expected[whole].data.size() <= size) ++whole;
        for (size_t k = 0; k < whole; ++k) ASSERT_EQ(walker.next(chunk), ChunkStatus::ok) << size;
        const size_t next_offset = whole < expected.size() ? expected[whole].offset : file.size();
        const ChunkStatus want = size == next_offset && size >= 8 ? ChunkStatus::end
                                 : size < next_offset + 8     ? ChunkStatus::truncated_header
                                                              : ChunkStatus::truncated_data;
        ASSERT_EQ(walker.next(chunk), want) << "size " << size;
        EXPECT_EQ(walker.next(chunk), want) << "size " << size;
        EXPECT_EQ(walker.offset(), std::max<size_t>(next_offset, 8)) << "size " << size;
        if (want == ChunkStatus::truncated_data) {
            EXPECT_EQ(std::string(chunk.type, chunk.type + 4), expected[whole].type);
        }
    }
}

TEST(PngChunks, RefusesLengthsPastTheLimit) {
    for (uint32_t length : {0x80000000u, 0xffffffffu}) {
        Bytes file = signature();
        append_u32(file, length);
        for (char letter : std::string("IDAT")) file.push_back(static_cast<uint8_t>(letter));
        file.resize(file.size() + 64, 0);
        PngChunkWalker walker(file);
        PngChunk chunk{};
        EXPECT_EQ(walker.next(chunk), ChunkStatus::length_too_large);
        EXPECT_EQ(chunk.length, length);
        EXPECT_EQ(chunk.offset, 8u);
    }
    // The limit itself is a length a chunk may have, here cut short.
    Bytes file = signature();
    append_u32(file, 0x7fffffff);
    file.resize(file.size() + 64, 'a');
    PngChunk chunk{};
    EXPECT_EQ(PngChunkWalker(file).next(chunk), ChunkStatus::truncated_data);
}

}  // namespace
