// What SimpleImage.open takes: the checks its PNG and BMP decoders make of
// a file's headers, each with the exact message the decoder raises. The
// decoders make them as they read; the package's probe makes them over a
// whole file held in memory, to tell what open would do without decoding.
// Pure C++ over byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::kernels {

// The PNG decoder's header fields as its chunk loop leaves them: each -1
// until an IHDR sets them all, a later IHDR replacing an earlier one.
struct OpenPngHeader {
    int32_t width = -1, height = -1, bit_depth = -1, colour_type = -1, compression = -1, filter = -1,
            interlace = -1;
};

// Why the PNG decoder refuses these fields, checked in its order; nullptr
// where it goes on to decompress the image data.
const char* png_open_header_refusal(const OpenPngHeader& header) noexcept;

// The chunk reader's messages for a chunk cut short, field by field.
inline constexpr const char* png_open_eof_in_length = "Unexpected EOF while reading chunk length";
inline constexpr const char* png_open_eof_in_type = "Unexpected EOF while reading chunk type";
inline constexpr const char* png_open_eof_in_data = "Unexpected EOF while reading chunk data";
inline constexpr const char* png_open_eof_in_crc = "Unexpected EOF while reading chunk CRC";

// The BMP decoder's messages for a file header cut short or not "BM", an
// information header size cut short, and a pixel row cut short.
inline constexpr const char* bmp_open_bad_file_header = "Unsupported BMP header";
inline constexpr const char* bmp_open_short_header_size = "Corrupted BMP DIB header";
inline constexpr const char* bmp_open_short_row = "Incomplete BMP pixel data";

// A field of the BMP information header that the decoder requires to hold
// `value`, and what it raises when it does not.
struct BmpOpenRequirement {
    uint32_t value;
    const char* refusal;
};
// The header size, checked first, alone.
inline constexpr BmpOpenRequirement bmp_open_header_size{40, "Only BITMAPINFOHEADER BMP files are supported"};
// Then planes, bits per pixel and compression, in this order.
inline constexpr const char* bmp_open_format_refusal = "Only uncompressed 24-bit BMP files are supported";
inline constexpr BmpOpenRequirement bmp_open_format[3] = {
    {1, bmp_open_format_refusal}, {24, bmp_open_format_refusal}, {0, bmp_open_format_refusal}};

// What SimpleImage.open raises for the whole file `file`, judged by its
// headers and its length alone (a chunk's CRC and the image data are not
// read); nullptr where it decodes the file, memory permitting. The file
// starts with the PNG signature or with "BM" respectively. Besides the
// decoders' own messages, these are the host's messages for what they hand
// to it: an IHDR of the wrong length to struct.unpack, a dimension past 32
// bits to the integer conversion, a negative or too large pixel count to
// bytearray(), and a BMP row start past 32 bits.
const char* png_open_refusal(std::span<const uint8_t> file) noexcept;
const char* bmp_open_refusal(std::span<const uint8_t> file) noexcept;

}  // namespace tessarin::kernels
