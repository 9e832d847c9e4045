// The vector forms of the PNG row converters, AVX2 (x86-64, in a library
// built with AVX2 enabled) and NEON (aarch64), each in a source file of its
// own. Only png_unpack.cpp calls them, after asking simd::avx2_usable() or
// simd::neon_usable().
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::kernels {

// The byte layouts the vector forms convert.
enum class UnpackLayout {
    first_of_1,      // greyscale 8: each byte spread to three channels
    first_of_2,      // greyscale 16, grey+alpha 8: the first byte of every two, spread
    first_of_4,      // grey+alpha 16: the first byte of every four, spread
    even_of_6,       // RGB 16: bytes 0, 2 and 4 of every six
    even_of_8,       // RGBA 16: bytes 0, 2 and 4 of every eight
    bits_1,          // greyscale 1: each bit to 0 or 255, spread
    bits_2,          // greyscale 2: each two bits scaled by 85, spread
    bits_4,          // greyscale 4: each four bits scaled by 17, spread
    palette_bits_1,  // palette 1: each bit to palette entry 0 or 1
    palette_bits_2,  // palette 2: each two bits to their palette entry
    palette_bits_4,  // palette 4: each four bits to their palette entry
    palette_8,       // palette 8: each byte to its palette entry
};

// Converts the leading pixels of a row of `pixels` pixels as the scalar
// converter does, and returns how many it wrote; the caller converts the
// rest. Reads only scanline bytes of the pixels written, and writes nothing
// past 3 * pixels bytes of `rgb`: bytes of the pixels after the count
// returned may be written, and the caller writes them again. `palette` holds
// 256 entries of three bytes.
size_t unpack_leading_avx2(UnpackLayout layout, const uint8_t* scanline, uint8_t* rgb, size_t pixels,
                           const uint8_t* palette) noexcept;
size_t unpack_leading_neon(UnpackLayout layout, const uint8_t* scanline, uint8_t* rgb, size_t pixels,
                           const uint8_t* palette) noexcept;

}  // namespace tessarin::kernels
