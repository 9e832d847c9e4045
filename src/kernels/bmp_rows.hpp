// BMP pixel rows to 8-bit RGB: one converter per (bit count, compression,
// channel layout), chosen once from the headers before the row loop.
//
// Channels of bit-field pixels are scaled as floor(value * 255 / max), as
// Pillow scales 5- and 6-bit channels; 8-bit channels are taken as they are.
// Alpha and unused bits are dropped. A palette index past the palette's end
// is black, except where Pillow reads the palette as grey levels: a 1-bit
// image whose one entry is black reads index 1 as white, and an 8-bit or
// RLE4 image whose three or more entries are the grey levels 0, 1, 2, ... in
// order reads index i past the end as grey level i.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/bmp_header.hpp"

namespace tessarin::bmp {

// Which converter a file's rows take. Run-length coded files (RLE8, RLE4)
// are decoded to one palette index per byte first, so they take palette8.
enum class BmpRowKind : uint8_t {
    palette1,
    palette2,
    palette4,
    palette8,
    rgb555,    // 16 bits, 5-5-5 (the default) or bit fields equal to it
    rgb565,    // 16 bits, bit fields 5-6-5
    bgr24,     // 24 bits, blue-green-red
    bytes32,   // 32 bits, each colour one whole byte (BGRX, XBGR, RGBA, ...)
    fields16,  // any other bit fields
    fields24,
    fields32,
};

// One colour channel of a bit-field pixel: (pixel & mask) >> shift runs
// from 0 to max.
struct BmpChannelField {
    uint32_t mask = 0, shift = 0, max = 0;
};

// What the converters read besides the row, filled from the headers.
struct BmpRowTables {
    // Red, green, blue and a zero byte for each index.
    std::array<uint8_t, 4 * 256> palette{};
    // The same, one array per channel.
    std::array<std::array<uint8_t, 256>, 3> palette_planes{};
    // Red, green and blue of bit-field pixels.
    std::array<BmpChannelField, 3> fields{};
    // For bytes32: the byte of each 4-byte pixel holding red, green, blue.
    std::array<uint8_t, 3> channel_bytes{};
};

using BmpRowFunction = void (*)(const uint8_t* stored, uint8_t* rgb, size_t width,
                                const BmpRowTables& tables) noexcept;

class BmpRowConverter {
public:
    // The converter for the pixels `header` describes (parsed with status
    // ok), its palette read from `header_bytes`, the file's first bytes
    // (bmp_header_bytes_needed of them). The vector forms (AVX2, NEON) are
    // chosen here where usable.
    BmpRowConverter(const BmpHeader& header, std::span<const uint8_t> header_bytes) noexcept;

    // Writes the 3 * width bytes of `rgb` from a stored row (row_stride
    // bytes, or width indices for run-length coded files). `rgb` must not
    // overlap `stored`, except for palette8, where `stored` may begin 2 *
    // width bytes into `rgb` (so that indices decoded into the last third
    // of an RGB row expand in place).
    void convert(std::span<const uint8_t> stored, std::span<uint8_t> rgb) const noexcept {
        row_(stored.data(), rgb.data(), width_, tables_);
    }

    BmpRowKind kind() const noexcept { return kind_; }

private:
    BmpRowKind kind_;
    BmpRowFunction row_;
    size_t width_;
    BmpRowTables tables_;
};

// The largest palette index among the first `width` pixels of a stored
// row of `bits` (1, 2, 4 or 8) bits per pixel, the first pixel in the high
// bits of its byte; for telling an image whose indices reach past its
// palette.
unsigned bmp_largest_index(std::span<const uint8_t> stored, size_t width, unsigned bits) noexcept;

}  // namespace tessarin::bmp
