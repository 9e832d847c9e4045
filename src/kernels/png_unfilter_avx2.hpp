// The kernels built with AVX2 enabled, in a source file of their own. Only to
// be called where the processor has AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Four consecutive rows of `filter_type` (Average or Paeth), as
// unfilter_run does them, at 3 or 4 bytes per pixel; false, with nothing
// done, for other filters or pixel sizes.
bool unfilter_run_avx2(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                       size_t n, size_t bpp) noexcept;

// Eight consecutive rows, likewise, each with its filter_types[k] (Average
// or Paeth, in any mix).
bool unfilter_run8_avx2(const uint8_t* filter_types, const uint8_t* const* lines, const uint8_t* prev,
                        uint8_t* const* outs, size_t n, size_t bpp) noexcept;

}  // namespace tessarin::png
