// The rules a PNG file's header and chunk order must keep, as the package's
// reader applies them: the IHDR fields the format allows, and which chunk
// may follow which. Chunk CRCs are left to the caller. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/png_chunks.hpp"

namespace tessarin::kernels {

struct PngHeader {
    uint32_t width = 0, height = 0;
    uint8_t bit_depth = 0, colour_type = 0, compression = 0, filter = 0, interlace = 0;
};

enum class PngHeaderStatus : uint8_t {
    ok,
    width_zero,
    width_too_large,   // over 2^31 - 1
    height_zero,
    height_too_large,
    bad_colour_type,   // none of 0, 2, 3, 4, 6
    bad_bit_depth,     // not one the colour type allows
    bad_compression,   // not 0 (deflate)
    bad_filter,        // not 0 (adaptive filtering)
    bad_interlace,     // neither 0 (none) nor 1 (Adam7)
};

// The 13 bytes of an IHDR chunk's data.
PngHeader read_png_header(std::span<const uint8_t, 13> data) noexcept;

// The first field the format does not allow, in the order of the fields.
PngHeaderStatus check_png_header(const PngHeader& header) noexcept;

enum class PngChunkStatus : uint8_t {
    ok,
    type_not_letters,      // a type byte is not an ASCII letter
    ihdr_not_first,        // the first chunk is not IHDR
    ihdr_length,           // the first IHDR does not hold 13 bytes
    apple_cgbi,            // a CgBI chunk: Apple's variant of the format (see apple_cgbi_offset)
    unknown_critical,      // a critical chunk the format does not define
    plte_after_idat,
    plte_repeated,
    plte_length,           // not 3, 6, ... 768 bytes
    plte_missing,          // image data of a palette image with no PLTE before it
    idat_not_consecutive,  // IDAT after another chunk that followed IDAT
    no_idat,               // the chunks end (IEND, or the file) before any IDAT
};

// What a chunk that keeps the rules is to the reader.
enum class PngChunkRole : uint8_t {
    header,   // the first IHDR
    palette,  // PLTE
    data,     // IDAT
    end,      // IEND: nothing after it is read
    skipped,  // any other: ancillary chunks, a later IHDR, CgBI
};

// Judges the chunks of a file one after another: only the first IHDR
// counts, and it comes first; PLTE comes once, before IDAT, and a palette
// image has one; IDAT chunks are consecutive; an unknown critical chunk is
// refused. PLTE in an image of another colour type is read but not used.
class PngChunkRules {
public:
    // The next chunk's status; with ok, role() says what the chunk is. Once
    // a CgBI chunk has been seen, any refusal is apple_cgbi: such files
    // break other rules only because of what they are.
    PngChunkStatus next(const PngChunk& chunk) noexcept;
    // Once the chunks have ended, at IEND or at the file's end.
    PngChunkStatus finish() const noexcept;

    PngChunkRole role() const noexcept { return role_; }
    bool has_header() const noexcept { return has_header_; }
    const PngHeader& header() const noexcept { return header_; }
    // The PLTE chunk's data; empty when there is none.
    std::span<const uint8_t> palette() const noexcept { return palette_; }
    // Whether a tRNS chunk came before the image data.
    bool has_transparency() const noexcept { return has_transparency_; }
    // The IDAT chunks' data so far, in bytes.
    uint64_t data_bytes() const noexcept { return data_bytes_; }
    // Where the first CgBI chunk lies, for apple_cgbi.
    size_t apple_cgbi_offset() const noexcept { return apple_cgbi_offset_; }

private:
    PngChunkStatus judge(const PngChunk& chunk) noexcept;

    enum class DataState : uint8_t { before, inside, after };
    PngChunkRole role_ = PngChunkRole::skipped;
    bool has_header_ = false, has_transparency_ = false, apple_cgbi_ = false;
    DataState data_state_ = DataState::before;
    PngHeader header_;
    std::span<const uint8_t> palette_;
    uint64_t data_bytes_ = 0;
    size_t apple_cgbi_offset_ = 0;
};

}  // namespace tessarin::kernels
