// Row layout kernels with NEON (aarch64 builds), in a source file of their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::png {

// Writes the first three bytes of the leading 4-byte pixels of a row of
// `width` as rgba_to_rgb_row does, sixteen at a time, and returns how many
// pixels it wrote. Writes nothing past those pixels' 3 * count bytes.
size_t rgba_to_rgb_leading_neon(const uint8_t* rgba, uint8_t* rgb, size_t width) noexcept;

}  // namespace tessarin::png
