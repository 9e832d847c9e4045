// Numbers of the PNG format that the codecs read and write.
#pragma once

#include <cstdint>

namespace tessarin::png {

// Filter types of filter method 0: the byte that starts each row.
inline constexpr int filter_none = 0;
inline constexpr int filter_sub = 1;
inline constexpr int filter_up = 2;
inline constexpr int filter_average = 3;
inline constexpr int filter_paeth = 4;

// Colour types of the IHDR chunk.
inline constexpr int color_grey = 0;
inline constexpr int color_rgb = 2;
inline constexpr int color_palette = 3;
inline constexpr int color_grey_alpha = 4;
inline constexpr int color_rgba = 6;

// The only bit depth, compression, filter and interlace methods read and
// written: 8 bits per channel, deflate, adaptive filtering, no interlacing.
inline constexpr int bit_depth_8 = 8;
inline constexpr int compression_deflate = 0;
inline constexpr int filter_method_adaptive = 0;
inline constexpr int interlace_none = 0;

}  // namespace tessarin::png
