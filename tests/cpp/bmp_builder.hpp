// BMP headers built field by field for the BMP reader's kernel tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "random_bytes.hpp"

namespace tessarin::testing {

inline void put_le(Bytes& bytes, size_t at, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct BmpSpec {
    uint32_t header_size = 40;
    int32_t width = 3, height = 2;
    uint16_t planes = 1, bit_count = 24;
    uint32_t compression = 0, colours_used = 0;
    // In the header from 52 bytes on (three of them in 52), else after it.
    std::vector<uint32_t> masks;
    // Written after the headers and masks: entry i is blue i, green i + 1,
    // red i + 2 (and a zero byte but after 12-byte headers).
    uint32_t palette_entries = 0;
    // Just after the palette unless given.
    std::optional<uint32_t> data_offset;
};

// The file header, information header, masks and palette `spec` describes.
inline Bytes bmp_headers(const BmpSpec& spec) {
    const size_t info_at = 14, entry_size = spec.header_size == 12 ? 3 : 4;
    const size_t masks_in_header = spec.header_size >= 52 ? spec.masks.size() : 0;
    Bytes bytes(info_at + spec.header_size + 4 * (spec.masks.size() - masks_in_header));
    bytes[0] = 'B';
    bytes[1] = 'M';
    put_le(bytes, info_at, spec.header_size, 4);
    const size_t field = spec.header_size == 12 ? 2 : 4;
    put_le(bytes, info_at + 4, static_cast<uint32_t>(spec.width), field);
    put_le(bytes, info_at + 4 + field, static_cast<uint32_t>(spec.height), field);
    put_le(bytes, info_at + 4 + 2 * field, spec.planes, 2);
    put_le(bytes, info_at + 6 + 2 * field, spec.bit_count, 2);
    if (spec.header_size >= 40) {
        put_le(bytes, info_at + 16, spec.compression, 4);
        put_le(bytes, info_at + 32, spec.colours_used, 4);
    }
    for (size_t i = 0; i < spec.masks.size(); ++i) put_le(bytes, info_at + 40 + 4 * i, spec.masks[i], 4);
    for (uint32_t i = 0; i < spec.palette_entries; ++i) {
        for (uint32_t channel = 0; channel < 3; ++channel) bytes.push_back(static_cast<uint8_t>(i + channel));
        if (entry_size == 4) bytes.push_back(0);
    }
    put_le(bytes, 10, spec.data_offset.value_or(static_cast<uint32_t>(bytes.size())), 4);
    return bytes;
}

}  // namespace tessarin::testing
