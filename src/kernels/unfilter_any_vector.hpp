// The AVX2 (x86-64, in a library built with AVX2 enabled) and NEON
// (aarch64) forms behind unfilter_any.hpp, one function per filter taking
// the filter type (filter_sub, filter_average or filter_paeth). Only
// unfilter_any.cpp calls them, after asking simd::avx2_usable() or
// simd::neon_usable().
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::kernels {

// Undoes an n-byte row of `filter_type` at `bpp` bytes per pixel, `prev`
// the row above (unused by Sub), and returns true; false, with nothing
// written, for a filter and distance without a vector form.
bool unfilter_any_avx2(int filter_type, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t bpp) noexcept;
bool unfilter_any_neon(int filter_type, const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n,
                       size_t bpp) noexcept;

}  // namespace tessarin::kernels
