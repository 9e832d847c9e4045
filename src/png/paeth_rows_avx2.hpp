// The four-row Paeth kernel, built with AVX2 enabled in its own source file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Four consecutive Paeth rows, as unfilter_paeth_rows does them, for 3 or 4
// bytes per pixel; false, with nothing done, for other pixel sizes. Only to
// be called where the processor has AVX2.
bool unfilter_paeth_rows_avx2(const uint8_t* const* lines, const uint8_t* prev, uint8_t* const* outs, size_t n,
                              size_t bpp) noexcept;

}  // namespace tessarin::png
