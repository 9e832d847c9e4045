// 5- and 6-bit channels to 8 bits as floor(value * 255 / max), the way
// Pillow reads 16-bit BMP pixels, as a multiply, an add and a shift that
// stay within 16 bits, so that vector code can use them lane by lane.
#pragma once

#include <cstdint>

namespace tessarin::bmp {

inline constexpr uint16_t scale5_multiplier = 1053, scale5_shift = 7;
inline constexpr uint16_t scale6_multiplier = 259, scale6_addend = 3, scale6_shift = 6;

constexpr uint8_t scale5(unsigned value) noexcept {
    return static_cast<uint8_t>(value * scale5_multiplier >> scale5_shift);
}

constexpr uint8_t scale6(unsigned value) noexcept {
    return static_cast<uint8_t>((value * scale6_multiplier + scale6_addend) >> scale6_shift);
}

constexpr bool scales_exactly() noexcept {
    for (unsigned value = 0; value < 32; ++value) {
        if (scale5(value) != value * 255 / 31 || value * scale5_multiplier > UINT16_MAX) return false;
    }
    for (unsigned value = 0; value < 64; ++value) {
        if (scale6(value) != value * 255 / 63 || value * scale6_multiplier + scale6_addend > UINT16_MAX) return false;
    }
    return true;
}
static_assert(scales_exactly());

}  // namespace tessarin::bmp
