// Rows of Adam7 passes 5 and 6 with AVX2: eight pass pixels a step,
// shuffled to the even pixels of 48 image bytes and blended with the
// image's odd pixels; rows of passes 1 to 4 likewise a block of sixteen
// image bytes at a time. This file alone is compiled with AVX2 enabled;
// adam7.cpp calls it only after asking the processor.
#include <immintrin.h>

#include "kernels/adam7_vector.hpp"

namespace tessarin::kernels {
namespace {

// For image byte j of a step (pixel j / 3, channel j % 3): `pick` is the
// pass byte an even pixel takes, counted from pass byte 0 for j < 16 and
// from pass byte 8 for the rest, and -1 (zero) for odd pixels; `take`
// selects the even pixels' bytes.
struct PairMasks {
    int8_t pick[48];
    int8_t take[48];
};

constexpr PairMasks pair_masks() noexcept {
    PairMasks masks{};
    for (int j = 0; j < 48; ++j) {
        const int pixel = j / 3;
        const bool even = pixel % 2 == 0;
        masks.pick[j] = static_cast<int8_t>(even ? 3 * (pixel / 2) + j % 3 - (j < 16 ? 0 : 8) : -1);
        masks.take[j] = static_cast<int8_t>(even ? -1 : 0);
    }
    return masks;
}

constexpr PairMasks masks = pair_masks();

template <class Reg>
Reg load(const void* src) noexcept {
    if constexpr (sizeof(Reg) == 32) {
        return _mm256_loadu_si256(static_cast<const __m256i*>(src));
    } else {
        return _mm_loadu_si128(static_cast<const __m128i*>(src));
    }
}

}  // namespace

size_t scatter_pairs_leading_avx2(const uint8_t* pass_rgb, uint8_t* image, size_t columns,
                                  size_t image_bytes) noexcept {
    const auto pick_low = load<__m256i>(masks.pick), take_low = load<__m256i>(masks.take);
    const auto pick_high = load<__m128i>(masks.pick + 32), take_high = load<__m128i>(masks.take + 32);
    size_t i = 0;
    for (; i + 8 <= columns && 6 * i + 48 <= image_bytes; i += 8) {
        const uint8_t* src = pass_rgb + 3 * i;
        uint8_t* dst = image + 6 * i;
        const auto first = load<__m128i>(src), second = load<__m128i>(src + 8);
        const __m256i placed_low = _mm256_shuffle_epi8(_mm256_set_m128i(second, first), pick_low);
        const __m128i placed_high = _mm_shuffle_epi8(second, pick_high);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                            _mm256_blendv_epi8(load<__m256i>(dst), placed_low, take_low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32),
                         _mm_blendv_epi8(load<__m128i>(dst + 32), placed_high, take_high));
    }
    return i;
}

size_t scatter_sparse_leading_avx2(const uint8_t* pass_rgb, uint8_t* image, size_t columns, size_t image_bytes,
                                   size_t dx) noexcept {
    // pshufb gives zero where pick is 0xff, and there the blend keeps the
    // image's byte.
    const auto place = [](const uint8_t* source, uint8_t* block, const uint8_t* pick) {
        const auto selector = load<__m128i>(pick);
        const __m128i placed = _mm_shuffle_epi8(load<__m128i>(source), selector);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block), _mm_blendv_epi8(placed, load<__m128i>(block), selector));
    };
    return dx == 4 ? scatter_steps<4>(pass_rgb, image, columns, image_bytes, place)
                   : scatter_steps<8>(pass_rgb, image, columns, image_bytes, place);
}

}  // namespace tessarin::kernels
