// The headers of a BMP file read from its first bytes: the 14-byte file
// header, an information header of any size in use (OS/2 1.x and 2.x, and
// Windows' 40 to 124 bytes), the channel masks and the palette's place. Sizes
// are computed with overflow checks, so a header's claim cannot wrap them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::bmp {

// Why a BMP's headers or pixel data cannot be read. The binding names the
// field and its value from the BmpHeader the parse filled so far.
enum class BmpStatus : uint8_t {
    ok,
    truncated_header,           // fewer bytes than the headers, masks and palette take
    not_bmp,                    // the first two bytes are not "BM"
    unknown_header_size,        // header_size is none of 12, 16, 40, 52, 56, 64, 108, 124
    bad_planes,                 // planes is not 1
    unknown_compression,        // compression is none of those below
    os2_huffman,                // OS/2 2.x compression 3: Huffman 1D (fax) coding
    os2_rle24,                  // OS/2 2.x compression 4: 24-bit run lengths
    jpeg_embedded,              // compression 4: the pixel data is a JPEG file
    png_embedded,               // compression 5: the pixel data is a PNG file at data_offset
    bad_bit_count,              // bit_count is not one the compression allows
    width_out_of_range,         // zero or negative
    height_out_of_range,        // zero, or -2^31 (no positive counterpart)
    compressed_top_down,        // run-length coded rows stored top-down (negative height)
    mask_zero,                  // one colour mask is zero, the others are not
    mask_not_contiguous,        // a mask's set bits are not one run
    masks_overlap,              // two masks share a bit
    mask_outside_pixel,         // a mask has bits above bit_count
    palette_too_large,          // colours_used above 65536 for a palette image
    data_offset_inside_header,  // data_offset points into the headers or masks
    image_too_large,            // the stored or the RGB size is past a signed 64-bit count
    rle_data_ended,             // run-length data ended before the image was full (BmpRleResult::row)
};

// The compression field's values (OS/2 2.x's 3 and 4 are reported by status).
enum class BmpCompression : uint8_t {
    rgb = 0,
    rle8 = 1,
    rle4 = 2,
    bitfields = 3,
    jpeg = 4,
    png = 5,
    alpha_bitfields = 6,
};

// Where each channel sits in a 16-, 24- or 32-bit pixel read little-endian.
struct BmpMasks {
    uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

struct BmpHeader {
    uint32_t data_offset = 0;    // the file header's offset of the pixel data, as stored
    uint32_t header_size = 0;    // of the information header
    uint32_t width = 0;
    uint32_t height = 0;         // rows, whatever their order
    int32_t stored_height = 0;   // as stored; 16-bit in a 12-byte header
    bool top_down = false;       // the first stored row is the top one (negative height)
    uint16_t planes = 0;
    uint16_t bit_count = 0;
    uint32_t compression = 0;    // as stored; 0 for 12- and 16-byte headers (BmpCompression)
    uint32_t image_size = 0;     // the pixel data's length as stored (0 allowed for RGB)
    uint32_t colours_used = 0;   // as stored; 0 means 2^bit_count for palette images
    // For BITFIELDS and ALPHABITFIELDS the masks of the file (from the
    // header or the 12 or 16 bytes after a 40-byte one); otherwise, for 16
    // and 32 bits, the default layouts 5-5-5 and 8-8-8. All zero masks in a
    // file also mean the default.
    BmpMasks masks;
    uint32_t palette_entries = 0;     // entries the pixels can use and the file holds
    uint32_t palette_entry_size = 0;  // 3 after a 12-byte header, else 4
    uint32_t palette_offset = 0;      // where the palette starts (after headers and masks)
    uint64_t pixel_offset = 0;        // where the pixel data starts, data_offset made sense of
    uint64_t row_stride = 0;          // of a stored uncompressed row: ((width * bits + 31) / 32) * 4
    uint64_t stored_bytes = 0;        // row_stride * height for uncompressed pixels
    uint64_t rgb_bytes = 0;           // width * 3 * height
};

// How many leading bytes of the file parse_bmp_header needs, as far as
// `prefix` tells: first 18 (the file header and the information header's
// size), then the headers, masks and palette. Once the answer is at most
// prefix.size(), parse_bmp_header has all it reads. Headers it refuses need
// no more than 14 + header_size bytes.
size_t bmp_header_bytes_needed(std::span<const uint8_t> prefix) noexcept;

// Reads the headers from the file's first bytes into `header`. On a refusal
// the fields read so far are filled: for png_embedded and jpeg_embedded all
// but the palette and sizes, so the embedded file is at data_offset,
// image_size bytes long.
//
// The pixel data begins at data_offset, except where it is 0 or, for a
// palette image, points just past the information header (as some writers
// store it): then right after the palette of colours_used entries. A
// palette is cut to the entries that lie before the pixel data.
BmpStatus parse_bmp_header(std::span<const uint8_t> bytes, BmpHeader& header) noexcept;

}  // namespace tessarin::bmp
