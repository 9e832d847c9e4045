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

// A chunk laid out by hand.
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
};

// The file cut at every length: the chunks wholly inside are read, then the
// walk ends at a chunk boundary, or reports the cut header or data, and
// goes on reporting it. The chunks: IHDR, an empty ancillary chunk, IDAT,
// IEND, each with its offset as its CRC field, which is not checked.
TEST(PngChunks, ReadsWholeChunksAndReportsWhereTheFileIsCut) {
    const std::vector<Expected> expected = {{8, "IHDR", tessarin::testing::random_bytes(13, 1)},
                                            {33, "tEXt", {}},
                                            {45, "IDAT", tessarin::testing::random_bytes(300, 2)},
                                            {357, "IEND", {}}};
    Bytes file = signature();
    for (const Expected& chunk : expected) {
        append_chunk(file, chunk.type, chunk.data, static_cast<uint32_t>(chunk.offset));
    }
    for (size_t size = 0; size <= file.size(); ++size) {
        PngChunkWalker walker(std::span<const uint8_t>(file).first(size));
        PngChunk chunk{};
        size_t whole = 0;
        for (; whole < expected.size() && expected[whole].offset + 12 + expected[whole].data.size() <= size; ++whole) {
            const Expected& want = expected[whole];
            ASSERT_EQ(walker.next(chunk), ChunkStatus::ok) << size;
            EXPECT_EQ(chunk.offset, want.offset);
            EXPECT_EQ(chunk.length, want.data.size());
            EXPECT_EQ(Bytes(chunk.data.begin(), chunk.data.end()), want.data);
            const auto type_at = file.begin() + static_cast<std::ptrdiff_t>(want.offset + 4);
            EXPECT_EQ(Bytes(chunk.crc_input.begin(), chunk.crc_input.end()),
                      Bytes(type_at, type_at + 4 + static_cast<std::ptrdiff_t>(want.data.size())));
            EXPECT_EQ(chunk.stored_crc, want.offset);
            EXPECT_EQ(png_chunk_is_critical(chunk), want.type != "tEXt");
            EXPECT_EQ(png_chunk_type_is(chunk, "IDAT"), want.type == "IDAT");
        }
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

// Lengths past 2^31 - 1 are refused; 2^31 - 1 itself is a length a chunk
// may have, here cut short.
TEST(PngChunks, RefusesLengthsPastTheLimit) {
    for (uint32_t length : {0x80000000u, 0xffffffffu, 0x7fffffffu}) {
        Bytes file = signature();
        append_u32(file, length);
        file.resize(file.size() + 64, 'a');
        PngChunk chunk{};
        EXPECT_EQ(PngChunkWalker(file).next(chunk),
                  length > 0x7fffffff ? ChunkStatus::length_too_large : ChunkStatus::truncated_data);
        EXPECT_EQ(chunk.length, length);
        EXPECT_EQ(chunk.offset, 8u);
    }
}

}  // namespace
