#include "kernels/png_unfilter.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/png_row_runs.hpp"
#include "kernels/unfilter_any.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"
#if defined(TESSARIN_AVX2_KERNELS)
#include "kernels/png_unfilter_avx2.hpp"
#endif
#if defined(TESSARIN_NEON_KERNELS)
#include "kernels/png_unfilter_neon.hpp"
#endif

namespace tessarin::png {
namespace {

// The kernels below work on raw pointers into rows whose lengths the public
// entry point has already tied to `n`: `line`, `out` and (when used) `prev`
// hold at least `n` bytes. Each scalar kernel starts at byte `begin`, so the
// SIMD kernels can hand it the bytes after their last whole pixel.

uint8_t wrap(int value) noexcept { return static_cast<uint8_t>(value); }

void unfilter_up(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) out[i] = wrap(line[i] + prev[i]);
}

void unfilter_sub_scalar(const uint8_t* line, uint8_t* out, size_t begin, size_t n,
                         size_t bpp) noexcept {
    size_t i = begin;
    for (; i < std::min(bpp, n); ++i) out[i] = line[i];
    for (; i < n; ++i) out[i] = wrap(line[i] + out[i - bpp]);
}

// Average against a missing previous row, where every byte above is 0.
void unfilter_average_first_row(const uint8_t* line, uint8_t* out, size_t n, size_t bpp) noexcept {
    size_t i = 0;
    for (; i < std::min(bpp, n); ++i) out[i] = line[i];
    for (; i < n; ++i) out[i] = wrap(line[i] + (out[i - bpp] >> 1));
}

#if defined(__SSE2__)

template <size_t Bpp>
void unfilter_sub_sse2(const uint8_t* line, uint8_t* out, size_t n) noexcept {
    __m128i left = _mm_setzero_si128();
    const size_t i = for_each_pixel<Bpp>(0, n, [&]<size_t Bytes>(size_t at) {
        left = _mm_add_epi8(left, load_pixel<Bytes>(line + at));
        store_pixel<Bytes>(out + at, left);
    });
    unfilter_sub_scalar(line, out, i, n, Bpp);
}

#endif

// Each filter's kernel tries the vector forms of unfilter_any first (Sub at
// every common distance, Average and Paeth at 6 and 8 bytes per pixel),
// then those of this file at 3 and 4, then the scalar loop.
void unfilter_sub(const uint8_t* line, uint8_t* out, size_t n, size_t bpp) noexcept {
    if (kernels::unfilter_sub_vector({line, n}, {out, n}, bpp)) return;
#if defined(__SSE2__)
    if (bpp == 3) return unfilter_sub_sse2<3>(line, out, n);
    if (bpp == 4) return unfilter_sub_sse2<4>(line, out, n);
#endif
    unfilter_sub_scalar(line, out, 0, n, bpp);
}

void unfilter_average(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                      size_t bpp) noexcept {
    if (kernels::unfilter_average_vector({line, n}, {prev, n}, {out, n}, bpp)) return;
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable() && unfilter_average_neon(line, prev, out, n, bpp)) return;
#endif
#if defined(__SSE2__)
    if (bpp == 3) return unfilter_average_sse2<3>(line, prev, out, 0, n);
    if (bpp == 4) return unfilter_average_sse2<4>(line, prev, out, 0, n);
#endif
    unfilter_average_scalar(line, prev, out, 0, n, bpp);
}

void unfilter_paeth(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                    size_t bpp) noexcept {
    if (kernels::unfilter_paeth_vector({line, n}, {prev, n}, {out, n}, bpp)) return;
#if defined(TESSARIN_NEON_KERNELS)
    if (simd::neon_usable() && unfilter_paeth_neon(line, prev, out, n, bpp)) return;
#endif
#if defined(__SSE2__)
    if (bpp == 3) return unfilter_paeth_sse2<3>(line, prev, out, 0, n);
    if (bpp == 4) return unfilter_paeth_sse2<4>(line, prev, out, 0, n);
#endif
    unfilter_paeth_scalar(line, prev, out, 0, n, bpp);
}

// One to four consecutive rows of `filter_type` (Average or Paeth): lines[k]
// against the row above (`above` for the first) into targets[k]; four at
// once only where the processor has AVX2, two with SSE2 or NEON.
void unfilter_run_group(int filter_type, const uint8_t* const* lines, const uint8_t* above,
                        uint8_t* const* targets, size_t count, size_t n, size_t bpp) noexcept {
#if defined(TESSARIN_AVX2_KERNELS)
    if (count == 4 && simd::avx2_usable() && unfilter_run_avx2(filter_type, lines, above, targets, n, bpp)) return;
#endif
#if defined(TESSARIN_NEON_KERNELS)
    if (count == 2 && simd::neon_usable() && unfilter_run_neon(filter_type, lines, above, targets, n, bpp)) return;
#endif
#if defined(__SSE2__)
    if (count == 2 && unfilter_run_vector<Sse2Rows>(filter_type, lines, above, targets, n, bpp)) return;
#endif
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* row_above = k == 0 ? above : targets[k - 1];
        if (filter_type == filter_average) {
            unfilter_average(lines[k], row_above, targets[k], n, bpp);
        } else {
            unfilter_paeth(lines[k], row_above, targets[k], n, bpp);
        }
    }
}

// The size of the next group of a run with `remaining` rows: the most the
// processor takes at once, then smaller groups down to pairs and single rows.
size_t next_group(size_t remaining) noexcept {
    for (size_t group = run_rows_at_once(); group > 1; group /= 2) {
        if (remaining >= group) return group;
    }
    return 1;
}

}  // namespace

size_t run_rows_at_once() noexcept { return simd::avx2_usable() ? 8 : 2; }

void unfilter_run(std::span<const uint8_t> filter_types, std::span<const std::span<const uint8_t>> scanlines,
                  std::span<const uint8_t> prev, int bytes_per_pixel,
                  std::span<const std::span<uint8_t>> outs) noexcept {
    const auto bpp = static_cast<size_t>(bytes_per_pixel);
    const size_t n = scanlines.empty() ? 0 : scanlines[0].size();
    for (size_t done = 0; done < scanlines.size();) {
        size_t count = next_group(scanlines.size() - done);
        const uint8_t* lines[8];
        uint8_t* targets[8];
        for (size_t k = 0; k < count; ++k) {
            lines[k] = scanlines[done + k].data();
            targets[k] = outs[done + k].data();
        }
        const uint8_t* above = done == 0 ? prev.data() : outs[done - 1].data();
#if defined(TESSARIN_AVX2_KERNELS)
        if (count == 8 && unfilter_run8_avx2(&filter_types[done], lines, above, targets, n, bpp)) {
            done += count;
            continue;
        }
#endif
        // Smaller groups take one filter.
        const uint8_t filter_type = filter_types[done];
        for (size_t k = 1; k < count; ++k) {
            if (filter_types[done + k] != filter_type) {
                count = k;
                break;
            }
        }
        unfilter_run_group(filter_type, lines, above, targets, count, n, bpp);
        done += count;
    }
}

FilterStatus unfilter_row(int filter_type, std::span<const uint8_t> scanline,
                          std::span<const uint8_t> prev, int bytes_per_pixel,
                          std::span<uint8_t> out) noexcept {
    const size_t n = scanline.size();
    if (n == 0) return FilterStatus::ok;
    if (filter_type < filter_none || filter_type > filter_paeth) return FilterStatus::unsupported_filter;

    const uint8_t* line = scanline.data();
    uint8_t* dst = out.data();
    const auto bpp = static_cast<size_t>(bytes_per_pixel);
    // A missing previous row reads as zeros: Up then copies, Paeth always
    // predicts from the left (as Sub does) and Average halves the left byte.
    const bool has_prev = !prev.empty();

    switch (filter_type) {
        case filter_none:
            std::memcpy(dst, line, n);
            break;
        case filter_sub:
            unfilter_sub(line, dst, n, bpp);
            break;
        case filter_up:
            if (has_prev) {
                unfilter_up(line, prev.data(), dst, n);
            } else {
                std::memcpy(dst, line, n);
            }
            break;
        case filter_average:
            if (has_prev) {
                unfilter_average(line, prev.data(), dst, n, bpp);
            } else {
                unfilter_average_first_row(line, dst, n, bpp);
            }
            break;
        case filter_paeth:
            if (has_prev) {
                unfilter_paeth(line, prev.data(), dst, n, bpp);
            } else {
                unfilter_sub(line, dst, n, bpp);
            }
            break;
    }
    return FilterStatus::ok;
}

}  // namespace tessarin::png
