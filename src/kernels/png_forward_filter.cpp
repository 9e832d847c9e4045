#include "kernels/png_forward_filter.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/png_forward_filter_vector.hpp"
#include "kernels/png_unfilter.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace tessarin::png {
namespace {

// The scalar kernels work on bytes `begin` up to `n` of rows whose lengths
// the public entry points have tied to `n`, so that the vector kernels can
// hand them the first pixel (whose left neighbours are zeros) and the bytes
// after their last whole step.

// The prediction of one byte from its left, upper and upper-left
// neighbours.
template <int FilterType>
uint8_t predict(int left, int up, int up_left) noexcept {
    if constexpr (FilterType == filter_sub) return static_cast<uint8_t>(left);
    if constexpr (FilterType == filter_up) return static_cast<uint8_t>(up);
    if constexpr (FilterType == filter_average) return static_cast<uint8_t>((left + up) >> 1);
    if constexpr (FilterType == filter_paeth) return paeth_predictor(left, up, up_left);
    (void)left, (void)up, (void)up_left;
    return 0;
}

// Calls step(i, left, up, up_left) for bytes `begin` up to `n` of rows of
// `pixel_bytes` bytes a pixel: the first pixel's left neighbours are zeros,
// and the loop after it tests nothing.
template <typename Step>
void for_each_byte(const uint8_t* row, const uint8_t* prev, size_t begin, size_t n, size_t pixel_bytes,
                   Step step) noexcept {
    size_t i = begin;
    for (; i < std::min(n, pixel_bytes); ++i) step(i, 0, prev[i], 0);
    for (; i < n; ++i) step(i, row[i - pixel_bytes], prev[i], prev[i - pixel_bytes]);
}

template <int FilterType>
void filter_scalar(const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                   size_t pixel_bytes) noexcept {
    for_each_byte(row, prev, begin, n, pixel_bytes, [&](size_t i, int left, int up, int up_left) {
        out[i] = static_cast<uint8_t>(row[i] - predict<FilterType>(left, up, up_left));
    });
}

void filter_scalar(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t begin, size_t n,
                   size_t pixel_bytes) noexcept {
    switch (filter_type) {
        case filter_sub:
            return filter_scalar<filter_sub>(row, prev, out, begin, n, pixel_bytes);
        case filter_up:
            return filter_scalar<filter_up>(row, prev, out, begin, n, pixel_bytes);
        case filter_average:
            return filter_scalar<filter_average>(row, prev, out, begin, n, pixel_bytes);
        default:
            return filter_scalar<filter_paeth>(row, prev, out, begin, n, pixel_bytes);
    }
}

// The absolute value of a filtered byte read as a signed byte.
uint32_t magnitude(uint8_t value) noexcept { return value < 128 ? value : 256u - value; }

void candidates_scalar(const uint8_t* row, const uint8_t* prev, FilterCandidates& candidates, size_t begin,
                       size_t n, size_t pixel_bytes) noexcept {
    uint8_t* const sub = candidates.bytes[filter_sub].data();
    uint8_t* const up_bytes = candidates.bytes[filter_up].data();
    uint8_t* const average = candidates.bytes[filter_average].data();
    uint8_t* const paeth = candidates.bytes[filter_paeth].data();
    uint64_t sums[filter_type_count] = {};
    for_each_byte(row, prev, begin, n, pixel_bytes, [&](size_t i, int left, int up, int up_left) {
        sub[i] = static_cast<uint8_t>(row[i] - predict<filter_sub>(left, up, up_left));
        up_bytes[i] = static_cast<uint8_t>(row[i] - predict<filter_up>(left, up, up_left));
        average[i] = static_cast<uint8_t>(row[i] - predict<filter_average>(left, up, up_left));
        paeth[i] = static_cast<uint8_t>(row[i] - predict<filter_paeth>(left, up, up_left));
        sums[filter_none] += magnitude(row[i]);
        sums[filter_sub] += magnitude(sub[i]);
        sums[filter_up] += magnitude(up_bytes[i]);
        sums[filter_average] += magnitude(average[i]);
        sums[filter_paeth] += magnitude(paeth[i]);
    });
    for (size_t type = 0; type < filter_type_count; ++type) candidates.sums[type] += sums[type];
}

// Bytes pixel_bytes up to the returned index filtered by a vector kernel;
// pixel_bytes (or n, if less) when none ran.
size_t filter_vector(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n,
                     size_t pixel_bytes) noexcept {
#if defined(TESSARIN_AVX2_KERNELS)
    if (n > pixel_bytes && simd::avx2_usable()) return filter_row_avx2(filter_type, row, prev, out, n, pixel_bytes);
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (n > pixel_bytes && simd::neon_usable()) return filter_row_neon(filter_type, row, prev, out, n, pixel_bytes);
#endif
    (void)filter_type, (void)row, (void)prev, (void)out;
    return std::min(n, pixel_bytes);
}

size_t candidates_vector(const uint8_t* row, const uint8_t* prev, FilterCandidates& candidates, size_t n,
                         size_t pixel_bytes) noexcept {
    uint8_t* const sub = candidates.bytes[filter_sub].data();
    uint8_t* const up = candidates.bytes[filter_up].data();
    uint8_t* const average = candidates.bytes[filter_average].data();
    uint8_t* const paeth = candidates.bytes[filter_paeth].data();
#if defined(TESSARIN_AVX2_KERNELS)
    if (n > pixel_bytes && simd::avx2_usable()) {
        return filter_candidates_avx2(row, prev, sub, up, average, paeth, candidates.sums.data(), n, pixel_bytes);
    }
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (n > pixel_bytes && simd::neon_usable()) {
        return filter_candidates_neon(row, prev, sub, up, average, paeth, candidates.sums.data(), n, pixel_bytes);
    }
#endif
    (void)row, (void)prev, (void)sub, (void)up, (void)average, (void)paeth;
    return std::min(n, pixel_bytes);
}

}  // namespace

void filter_row(int filter_type, std::span<const uint8_t> row, std::span<const uint8_t> prev, std::span<uint8_t> out,
                size_t pixel_bytes) noexcept {
    const size_t n = row.size();
    if (filter_type == filter_none) {
        if (n) std::memcpy(out.data(), row.data(), n);
        return;
    }
    filter_scalar(filter_type, row.data(), prev.data(), out.data(), 0, std::min(n, pixel_bytes), pixel_bytes);
    const size_t done = filter_vector(filter_type, row.data(), prev.data(), out.data(), n, pixel_bytes);
    filter_scalar(filter_type, row.data(), prev.data(), out.data(), done, n, pixel_bytes);
}

void filter_row_candidates(std::span<const uint8_t> row, std::span<const uint8_t> prev, FilterCandidates& candidates,
                           size_t pixel_bytes) noexcept {
    const size_t n = row.size();
    candidates.sums = {};
    candidates_scalar(row.data(), prev.data(), candidates, 0, std::min(n, pixel_bytes), pixel_bytes);
    const size_t done = candidates_vector(row.data(), prev.data(), candidates, n, pixel_bytes);
    candidates_scalar(row.data(), prev.data(), candidates, done, n, pixel_bytes);
}

int cheapest_filter(const FilterCandidates& candidates, const FilterWeights& weights) noexcept {
    int best = -1;
    uint64_t best_cost = 0;
    for (const int type : tie_order) {
        const auto index = static_cast<size_t>(type);
        if (weights[index] == 0) continue;
        const uint64_t cost = candidates.sums[index] * weights[index];
        if (best < 0 || cost < best_cost) {
            best_cost = cost;
            best = type;
        }
    }
    return best < 0 ? filter_none : best;
}

void filter_rows(const RowFilter& filter, std::span<const uint8_t> pixels, size_t row_bytes, size_t first_row,
                 size_t end_row, std::span<uint8_t> scratch, std::span<uint8_t> out, size_t pixel_bytes) noexcept {
    // The row above the first row of an image is all zeros.
    const std::span<uint8_t> zeros = scratch.subspan(4 * row_bytes, row_bytes);
    if (first_row == 0 && row_bytes) std::memset(zeros.data(), 0, row_bytes);
    FilterCandidates candidates{};
    for (size_t type = filter_sub; type < filter_type_count; ++type) {
        candidates.bytes[type] = scratch.subspan((type - 1) * row_bytes, row_bytes);
    }
    uint8_t* scanline = out.data();
    for (size_t y = first_row; y < end_row; ++y) {
        const std::span<const uint8_t> row = pixels.subspan(y * row_bytes, row_bytes);
        const std::span<const uint8_t> prev = y == 0 ? zeros : pixels.subspan((y - 1) * row_bytes, row_bytes);
        const std::span<uint8_t> filtered(scanline + 1, row_bytes);
        int type = filter.type;
        if (type == filter_adaptive) {
            filter_row_candidates(row, prev, candidates, pixel_bytes);
            type = cheapest_filter(candidates, filter.weights);
            const std::span<const uint8_t> chosen = type == filter_none ? row : candidates.bytes[static_cast<size_t>(type)];
            std::ranges::copy(chosen, filtered.begin());
        } else {
            filter_row(type, row, prev, filtered, pixel_bytes);
        }
        scanline[0] = static_cast<uint8_t>(type);
        scanline += row_bytes + 1;
    }
}

}  // namespace tessarin::png
