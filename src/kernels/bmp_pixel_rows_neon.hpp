// BMP row kernels with NEON (aarch64 builds), in a source file of their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::bmp {

// Swaps the first and third byte of the leading 3-byte pixels of a row of
// `width`, sixteen at a time, and returns how many pixels it wrote. Reads
// and writes nothing past those pixels' 3 * count bytes. Each step loads its
// pixels before it stores them, so `dst` may be `src` or lie before it.
size_t swap_outer_channels_leading_neon(const uint8_t* src, uint8_t* dst, size_t width) noexcept;

}  // namespace tessarin::bmp
