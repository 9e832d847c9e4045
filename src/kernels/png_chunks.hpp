// The chunks of a PNG file held in memory, one after another: each one's
// place, length, type, data and stored CRC. Only the structure is checked
// here; the reader checks the CRCs and which chunks may follow which. Pure
// C++ over a byte span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::kernels {

inline constexpr size_t png_signature_size = 8;
// The largest length a chunk may have.
inline constexpr uint32_t png_chunk_length_limit = 0x7fffffff;

struct PngChunk {
    // Where the chunk's length field lies in the file.
    size_t offset;
    uint32_t length;
    uint8_t type[4];
    std::span<const uint8_t> data;
    // The type and the data: the bytes the CRC covers.
    std::span<const uint8_t> crc_input;
    uint32_t stored_crc;
};

enum class ChunkStatus {
    ok,                // a chunk was read
    end,               // the file ends where a chunk would start
    truncated_header,  // fewer than the 8 bytes of length and type remain
    length_too_large,  // the length is over png_chunk_length_limit
    truncated_data,    // the data or the CRC after it runs past the file's end
};

// Critical chunks have an upper-case first letter; a reader must know
// every critical chunk it meets.
constexpr bool png_chunk_is_critical(const PngChunk& chunk) noexcept { return (chunk.type[0] & 0x20) == 0; }

// Whether the chunk's type is `name`, four letters.
bool png_chunk_type_is(const PngChunk& chunk, const char (&name)[5]) noexcept;

class PngChunkWalker {
public:
    // `file` starts with the signature, which the caller has checked; the
    // walk starts after it. A file shorter than the signature has a
    // truncated header where its first chunk would start.
    explicit PngChunkWalker(std::span<const uint8_t> file) noexcept : file_(file) {}

    // Reads the next chunk into `chunk`. Any status but ok ends the walk,
    // and later calls return it again. With length_too_large and
    // truncated_data, `chunk` holds the chunk's offset, length and type, so
    // that a message can name it, and empty spans.
    ChunkStatus next(PngChunk& chunk) noexcept;

    // Where the next chunk starts, or the chunk that ended the walk.
    size_t offset() const noexcept { return offset_; }

private:
    std::span<const uint8_t> file_;
    size_t offset_ = png_signature_size;
    ChunkStatus stopped_ = ChunkStatus::ok;
};

}  // namespace tessarin::kernels
