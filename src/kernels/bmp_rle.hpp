// RLE8 and RLE4 BMP pixel data to one palette index per byte, the way
// Pillow decodes it:
// - an encoded run that reaches past its row's end is cut there;
// - an absolute run (its bytes padded to a 2-byte boundary) and a delta
//   that reach past the row's end go on into the next stored row;
// - pixels a delta or an end of line skips, and all those after an end of
//   bitmap, are index 0.
// The decoder writes into the caller's canvas and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/bmp_header.hpp"

namespace tessarin::bmp {

// Where the indices go: image row r (0 at the top) at r * row_stride,
// `width` bytes of it. `indices` holds at least (height - 1) * row_stride +
// width bytes. With `indices` 2 * width bytes into an RGB buffer and a
// row_stride of 3 * width, each row can then be expanded in place with
// BmpRowConverter (palette8).
struct BmpRleCanvas {
    std::span<uint8_t> indices;
    size_t row_stride = 0;
    size_t width = 0, height = 0;
    bool bottom_up = true;  // the first stored row is the bottom one
};

inline constexpr uint32_t bmp_no_row = UINT32_MAX;

struct BmpRleResult {
    // ok, or rle_data_ended when the data ran out, with no end of bitmap,
    // before every pixel was written; the canvas is then filled all the
    // same, the pixels never reached with index 0.
    BmpStatus status = BmpStatus::ok;
    // For rle_data_ended: the image row (0 at the top) of the first pixel
    // the data did not reach.
    uint32_t row = bmp_no_row;
    // The image row of the first absolute run or delta that reached past
    // its row's end or the image's, if any: files that a careful encoder
    // wrote never do, but such runs are read as Pillow reads them (see
    // above).
    uint32_t overflow_row = bmp_no_row;
    // The image row of the first encoded run cut at its row's end, if any:
    // unlike the above, it leaves the rows after it as they would be
    // without it (some encoders write such runs).
    uint32_t cut_run_row = bmp_no_row;
};

// Decodes the run-length coded `data` (RLE4 when `four_bit`, else RLE8)
// into `canvas`, writing each of its width * height indices once.
BmpRleResult decode_bmp_rle(std::span<const uint8_t> data, bool four_bit, const BmpRleCanvas& canvas) noexcept;

}  // namespace tessarin::bmp
