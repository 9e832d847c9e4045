// The encoder's side of the PNG scanline filters (filter method 0) for rows
// of 3-byte RGB pixels, or of 1-byte greyscale and palette ones: each filter
// type applied to an original row, and the per-row choice of the type whose
// bytes deflate is expected to store in the fewest bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/png_format.hpp"

namespace tessarin::png {

inline constexpr size_t filter_type_count = 5;

// The filters' distance to a byte's left neighbour: the bytes of a pixel,
// or 1 for pixels of fewer than 8 bits. Those of an 8-bit RGB pixel by
// default.
inline constexpr size_t rgb_pixel_bytes = 3;

// Filters `row` with `filter_type` (0 to 4) into `out`: each byte minus its
// prediction from the original neighbours, modulo 256. `prev` is the
// original row above, all zeros for an image's first row; `prev` and `out`
// hold at least row.size() bytes, and `out` overlaps neither input.
void filter_row(int filter_type, std::span<const uint8_t> row, std::span<const uint8_t> prev, std::span<uint8_t> out,
                size_t pixel_bytes = rgb_pixel_bytes) noexcept;

// What each filter type makes of one row: the bytes of Sub, Up, Average and
// Paeth (None's are the row itself) and, for all five types, the sum of the
// filtered bytes' absolute values taken as signed bytes (0 to 128 each).
struct FilterCandidates {
    std::array<std::span<uint8_t>, filter_type_count> bytes;  // [filter_none] unused
    std::array<uint64_t, filter_type_count> sums;
};

// Fills `candidates.bytes[1..4]` (each at least row.size() bytes, none
// overlapping another or the inputs) and every sum, in one pass over the
// row: the sums are taken from the bytes as they are made. `prev` as for
// filter_row.
void filter_row_candidates(std::span<const uint8_t> row, std::span<const uint8_t> prev, FilterCandidates& candidates,
                           size_t pixel_bytes = rgb_pixel_bytes) noexcept;

// How a row's sums are compared: each type's sum times its weight, the
// smallest product winning, ties going to the type first in tie_order, and
// a type of weight 0 left out (None when all are). Equal weights give the
// plain minimum sum of absolute differences; with Average left out, the
// choice of Pillow's default save, which tries the types in this order.
using FilterWeights = std::array<uint32_t, filter_type_count>;
inline constexpr int tie_order[filter_type_count] = {filter_none, filter_up, filter_sub, filter_average, filter_paeth};

// The type `weights` pick from the sums of `candidates`.
int cheapest_filter(const FilterCandidates& candidates, const FilterWeights& weights) noexcept;

// How the rows of an image are filtered: every row with `type` (0 to 4),
// or, when `type` is filter_adaptive, each row with the type
// cheapest_filter picks under `weights`.
inline constexpr int filter_adaptive = filter_type_count;
struct RowFilter {
    int type;
    FilterWeights weights;
};

// Bytes of scratch space filter_rows needs for rows of `row_bytes` bytes.
constexpr size_t filter_scratch_size(size_t row_bytes) noexcept { return 5 * row_bytes; }

// Writes scanlines `first_row` up to `end_row` of an image of `row_bytes`
// bytes per row held in `pixels` (at least end_row rows): each the filter
// type byte, then the filtered row. `out` holds exactly
// (end_row - first_row) * (row_bytes + 1) bytes; `scratch` holds
// filter_scratch_size(row_bytes) bytes and overlaps nothing else.
void filter_rows(const RowFilter& filter, std::span<const uint8_t> pixels, size_t row_bytes, size_t first_row,
                 size_t end_row, std::span<uint8_t> scratch, std::span<uint8_t> out,
                 size_t pixel_bytes = rgb_pixel_bytes) noexcept;

}  // namespace tessarin::png
