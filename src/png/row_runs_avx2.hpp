// The four-row run kernel, built with AVX2 enabled in its own source file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Four consecutive rows of `filter_type` (3, Average, or 4, Paeth), as
// unfilter_run does them, at 3 or 4 bytes per pixel; false, with nothing
// done, for other filters or pixel sizes. Only to be called where the
// processor has AVX2.
bool unfilter_run_avx2(int filter_type, const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs,
                       size_t n, size_t bpp) noexcept;

}  // namespace tessarin::png
