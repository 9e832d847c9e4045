#include "kernels/png_chunks.hpp"

#include <cstring>

namespace tessarin::kernels {
namespace {

uint32_t read_u32_be(const uint8_t* bytes) noexcept {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Length and type before the data, the CRC after it.
constexpr size_t header_size = 8;
constexpr size_t crc_size = 4;

}  // namespace

bool png_chunk_type_is(const PngChunk& chunk, const char (&name)[5]) noexcept {
    return std::memcmp(chunk.type, name, 4) == 0;
}

ChunkStatus PngChunkWalker::next(PngChunk& chunk) noexcept {
    if (stopped_ != ChunkStatus::ok) return stopped_;
    const size_t remaining = file_.size() > offset_ ? file_.size() - offset_ : 0;
    if (remaining == 0 && file_.size() == offset_) return stopped_ = ChunkStatus::end;
    if (remaining < header_size) return stopped_ = ChunkStatus::truncated_header;

    const uint8_t* header = file_.data() + offset_;
    chunk.offset = offset_;
    chunk.length = read_u32_be(header);
    std::memcpy(chunk.type, header + 4, 4);
    chunk.data = {};
    chunk.crc_input = {};
    chunk.stored_crc = 0;
    if (chunk.length > png_chunk_length_limit) return stopped_ = ChunkStatus::length_too_large;
    // At most 2^31 + 11 bytes: no overflow in size_t of 32 bits or more.
    const size_t chunk_size = header_size + size_t{chunk.length} + crc_size;
    if (remaining < chunk_size) return stopped_ = ChunkStatus::truncated_data;

    chunk.data = file_.subspan(offset_ + header_size, chunk.length);
    chunk.crc_input = file_.subspan(offset_ + 4, 4 + size_t{chunk.length});
    chunk.stored_crc = read_u32_be(chunk.data.data() + chunk.length);
    offset_ += chunk_size;
    return ChunkStatus::ok;
}

}  // namespace tessarin::kernels
