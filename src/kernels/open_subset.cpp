#include "kernels/open_subset.hpp"

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"

namespace tessarin::kernels {
namespace {

// The host's words for what the decoders hand it (see the header).
constexpr const char* ihdr_unpack_error = "unpack requires a buffer of 13 bytes";
constexpr const char* info_unpack_error = "unpack requires a buffer of 36 bytes";
constexpr const char* int32_overflow = "signed integer is greater than maximum";
constexpr const char* negative_count = "negative count";
constexpr const char* count_overflow = "cannot fit 'int' into an index-sized integer";
constexpr const char* row_start_overflow = "value too large to convert to int";

uint32_t u32_be(const uint8_t* bytes) noexcept {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint32_t u32_le(const uint8_t* bytes) noexcept {
    return static_cast<uint32_t>(bytes[3]) << 24 | static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[1]) << 8 | bytes[0];
}

uint16_t u16_le(const uint8_t* bytes) noexcept { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// The first pixel row (in file order) that the BMP decoder fails on, and
// how: it reads `rows` rows of `stride` bytes from `available` bytes and
// puts row i at destination row rows - 1 - i (bottom-up) or i, whose start,
// destination * width * 3, must stay within 32 bits.
const char* bmp_rows_refusal(uint64_t rows, uint64_t width, uint64_t stride, uint64_t available,
                             bool bottom_up) noexcept {
    const uint64_t complete = stride == 0 ? rows : std::min(rows, available / stride);
    const uint64_t row_bytes = width * 3;
    // The first row in file order whose start leaves 32 bits, or `rows`.
    uint64_t first_overflow = rows;
    if (row_bytes != 0) {
        const uint64_t last_fitting = uint64_t{INT32_MAX} / row_bytes;
        if (bottom_up) {
            if (rows - 1 > last_fitting) first_overflow = 0;
        } else if (last_fitting + 1 < rows) {
            first_overflow = last_fitting + 1;
        }
    }
    if (complete < rows && complete <= first_overflow) return bmp_open_short_row;
    return first_overflow < rows ? row_start_overflow : nullptr;
}

}  // namespace

const char* png_open_header_refusal(const OpenPngHeader& header) noexcept {
    const int32_t fields[] = {header.width,       header.height, header.bit_depth, header.colour_type,
                              header.compression, header.filter, header.interlace};
    if (std::find(std::begin(fields), std::end(fields), -1) != std::end(fields)) {
        return "Incomplete PNG header information";
    }
    if (header.bit_depth != 8) return "Only 8-bit PNG images are supported";
    if (header.colour_type != 2 && header.colour_type != 6) return "Only RGB/RGBA PNG images are supported";
    if (header.compression != 0 || header.filter != 0 || header.interlace != 0) {
        return "Unsupported PNG configuration (compression/filter/interlace)";
    }
    return nullptr;
}

const char* png_open_refusal(std::span<const uint8_t> file) noexcept {
    constexpr size_t signature_size = 8;
    OpenPngHeader header;
    // The decoder's chunk loop, which stops at IEND or where the file ends
    // between chunks, reading each chunk's fields in turn.
    for (uint64_t at = signature_size; at < file.size();) {
        const uint64_t remaining = file.size() - at;
        if (remaining < 4) return png_open_eof_in_length;
        if (remaining < 8) return png_open_eof_in_type;
        const uint8_t* chunk = file.data() + at;
        const uint32_t length = u32_be(chunk);
        if (remaining - 8 < length) return png_open_eof_in_data;
        if (remaining - 8 - length < 4) return png_open_eof_in_crc;
        if (std::memcmp(chunk + 4, "IHDR", 4) == 0) {
            if (length != 13) return ihdr_unpack_error;
            const uint32_t width = u32_be(chunk + 8), height = u32_be(chunk + 12);
            if (width > INT32_MAX || height > INT32_MAX) return int32_overflow;
            header = {static_cast<int32_t>(width), static_cast<int32_t>(height), chunk[16], chunk[17],
                      chunk[18],                   chunk[19],                    chunk[20]};
        } else if (std::memcmp(chunk + 4, "IEND", 4) == 0) {
            break;
        }
        at += uint64_t{12} + length;
    }
    return png_open_header_refusal(header);
}

const char* bmp_open_refusal(std::span<const uint8_t> file) noexcept {
    if (file.size() < 14 || file[0] != 'B' || file[1] != 'M') return bmp_open_bad_file_header;
    if (file.size() < 18) return bmp_open_short_header_size;
    if (u32_le(&file[14]) != bmp_open_header_size.value) return bmp_open_header_size.refusal;
    if (file.size() < 54) return info_unpack_error;
    const uint32_t format[3] = {u16_le(&file[26]), u16_le(&file[28]), u32_le(&file[30])};
    for (size_t i = 0; i < 3; ++i) {
        if (format[i] != bmp_open_format[i].value) return bmp_open_format[i].refusal;
    }
    const auto width = static_cast<int32_t>(u32_le(&file[18]));
    const auto height = static_cast<int32_t>(u32_le(&file[22]));
    const int64_t rows = height < 0 ? -int64_t{height} : height;
    // The pixel buffer, width * rows * 3 bytes, made by bytearray().
    int64_t count = 0;
    if (!checked_mul(int64_t{width}, rows, count) || !checked_mul(count, int64_t{3}, count)) return count_overflow;
    if (count < 0) return negative_count;
    if (rows == 0) return nullptr;
    const auto stride = (static_cast<uint64_t>(width) * 3 + 3) / 4 * 4;
    const uint32_t offset = u32_le(&file[10]);
    const uint64_t available = file.size() > offset ? file.size() - offset : 0;
    return bmp_rows_refusal(static_cast<uint64_t>(rows), static_cast<uint64_t>(width), stride, available,
                            height > 0);
}

}  // namespace tessarin::kernels
