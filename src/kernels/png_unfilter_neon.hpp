// The NEON kernels (aarch64 builds), in a source file of their own. Each
// returns false, with nothing done, for pixel sizes other than 3 and 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Undoes the Average or the Paeth filter of an n-byte row against `prev`.
bool unfilter_average_neon(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp) noexcept;
bool unfilter_paeth_neon(const uint8_t* line, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp) noexcept;

// Two consecutive rows of `filter_type` (3, Average, or 4, Paeth), as
// unfilter_run does them; false, with nothing done, for other filters too.
bool unfilter_run_neon(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                       size_t n, size_t bpp) noexcept;

}  // namespace tessarin::png
