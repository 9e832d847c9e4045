// Vector forms of the Sub, Average and Paeth reconstructions, for
// png::unfilter_row to try before its own kernels, which serve every
// distance. Sub has one at 1, 2, 3, 4, 6 and 8 bytes per pixel; Average and
// Paeth at 6 and 8 (16-bit RGB and RGBA), where one vector step undoes a
// whole pixel, and unfilter_row has its own at 3 and 4. At 1 and 2 bytes
// each byte waits on the one a pixel before it, and a vector step per pixel
// costs more than the scalar loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::kernels {

// Each undoes the filter of `scanline` into `out` (as long, not overlapping
// it) at `bytes_per_pixel`, against `prev`, the reconstructed row above (as
// long; not missing), as png::unfilter_row does, and returns true; false,
// with nothing written, where no vector form serves the distance on this
// processor or the vector kernels are switched off.
bool unfilter_sub_vector(std::span<const uint8_t> scanline, std::span<uint8_t> out,
                         size_t bytes_per_pixel) noexcept;
bool unfilter_average_vector(std::span<const uint8_t> scanline, std::span<const uint8_t> prev,
                             std::span<uint8_t> out, size_t bytes_per_pixel) noexcept;
bool unfilter_paeth_vector(std::span<const uint8_t> scanline, std::span<const uint8_t> prev,
                           std::span<uint8_t> out, size_t bytes_per_pixel) noexcept;

}  // namespace tessarin::kernels
