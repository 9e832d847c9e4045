// Reconstruction of PNG scanline filters (filter method 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/png_format.hpp"

namespace tessarin::png {

enum class FilterStatus { ok, unsupported_filter };

// Undoes the filter of one row. `prev` is either empty (no previous row: every
// byte above counts as 0) or at least `scanline.size()` bytes; `out` has at
// least `scanline.size()` bytes and overlaps neither input. `bytes_per_pixel`
// is at least 1. An unsupported filter type leaves `out` untouched; an empty
// scanline is never an error.
FilterStatus unfilter_row(int filter_type, std::span<const uint8_t> scanline,
                          std::span<const uint8_t> prev, int bytes_per_pixel,
                          std::span<uint8_t> out) noexcept;

// How many consecutive rows unfilter_run undoes in one pass on this
// processor: 8 with AVX2 (x86-64 builds), otherwise 2 (SSE2, NEON or
// scalar code).
size_t run_rows_at_once() noexcept;

// Undoes a run of consecutive rows, each with filter_average or
// filter_paeth (filter_types[k] for scanlines[k]), as unfilter_row would one
// after the other: scanlines[0] against `prev` into outs[0], scanlines[k]
// against outs[k - 1] into outs[k]. Rows go in groups of run_rows_at_once(),
// then fours and pairs, whose pixels one vector step advances together; a
// group of eight may mix the two filters, a smaller one is split where the
// filter changes (bench/README.md measures each). All scanlines have the
// same length; `prev` and every output are at least as long, `prev` is not empty
// (the first row of an image has nothing above it) and no output overlaps
// another span.
void unfilter_run(std::span<const uint8_t> filter_types, std::span<const std::span<const uint8_t>> scanlines,
                  std::span<const uint8_t> prev, int bytes_per_pixel,
                  std::span<const std::span<uint8_t>> outs) noexcept;

// The Paeth predictor with the PNG tie order: left, then up, then upper-left.
constexpr uint8_t paeth_predictor(int left, int up, int up_left) noexcept {
    const int p = left + up - up_left;
    const int pa = p > left ? p - left : left - p;
    const int pb = p > up ? p - up : up - p;
    const int pc = p > up_left ? p - up_left : up_left - p;
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(left);
    if (pb <= pc) return static_cast<uint8_t>(up);
    return static_cast<uint8_t>(up_left);
}

}  // namespace tessarin::png
