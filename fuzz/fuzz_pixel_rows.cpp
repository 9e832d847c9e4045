// Fuzzes the row kernels against per-byte references: BMP rows (BGR with
// padding to RGB and back, which must round-trip), stored BMP rows laid out
// in place, PNG filter-0 layout and RGBA to RGB, with and without the AVX2
// kernels. Input layout: a selector
// byte, a padding byte, then pixel data whose length sets the width. Buffers
// have their exact sizes so that any access past a row's end is seen by
// AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "kernels/bmp_pixel_rows.hpp"
#include "kernels/png_row_layout.hpp"
#include "kernels/simd/avx2.hpp"

namespace {

std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* src, size_t n) {
    auto copy = std::make_unique<uint8_t[]>(n ? n : 1);
    if (n) std::memcpy(copy.get(), src, n);
    return copy;
}

std::unique_ptr<uint8_t[]> exact_buffer(size_t n) {
    auto buffer = std::make_unique<uint8_t[]>(n ? n : 1);
    std::memset(buffer.get(), 0xA5, n ? n : 1);
    return buffer;
}

void check_bmp_rows(const uint8_t* data, size_t size, size_t padding) {
    const size_t width = size / 3;
    const size_t stride = 3 * width + padding;
    auto rgb = exact_copy(data, 3 * width);
    auto row = exact_buffer(stride);
    tessarin::bmp::rgb_to_bgr_padded_row(std::span<const uint8_t>(rgb.get(), 3 * width),
                                         std::span<uint8_t>(row.get(), stride), width);
    for (size_t x = 0; x < width; ++x) {
        for (size_t c = 0; c < 3; ++c) {
            if (row[3 * x + c] != rgb[3 * x + 2 - c]) std::abort();
        }
    }
    for (size_t i = 3 * width; i < stride; ++i) {
        if (row[i] != 0) std::abort();
    }
    auto back = exact_buffer(3 * width);
    tessarin::bmp::bgr_to_rgb_row(std::span<const uint8_t>(row.get(), stride),
                                  std::span<uint8_t>(back.get(), 3 * width), width);
    if (width && std::memcmp(back.get(), rgb.get(), 3 * width) != 0) std::abort();
}

// `data` as the RGB pixels of `rows` rows, stored as a BMP stores them (BGR,
// `stride` bytes a row, bottom-up or top-down) and laid out again in place.
void check_stored_rows(const uint8_t* data, size_t size, size_t rows, size_t extra, bool bottom_up) {
    const size_t width = size / (3 * rows);
    const size_t row_bytes = 3 * width, stride = row_bytes + extra;
    auto buffer = exact_buffer(rows * stride);
    for (size_t row = 0; row < rows; ++row) {
        const uint8_t* pixels = data + (bottom_up ? rows - 1 - row : row) * row_bytes;
        for (size_t i = 0; i < row_bytes; ++i) buffer[row * stride + i] = pixels[i - i % 3 + 2 - i % 3];
    }
    tessarin::bmp::stored_rows_to_rgb_in_place(std::span<uint8_t>(buffer.get(), rows * stride), width, rows, stride,
                                               bottom_up);
    if (rows * row_bytes && std::memcmp(buffer.get(), data, rows * row_bytes) != 0) std::abort();
}

void check_filter_none_layout(const uint8_t* data, size_t size, size_t rows) {
    const size_t row_bytes = rows ? size / rows : 0;
    const size_t raw_size = rows * (row_bytes + 1);
    auto pixels = exact_copy(data, rows * row_bytes);
    auto raw = exact_buffer(raw_size);
    tessarin::png::layout_filter_none(std::span<const uint8_t>(pixels.get(), rows * row_bytes),
                                      row_bytes, rows, std::span<uint8_t>(raw.get(), raw_size));
    for (size_t y = 0; y < rows; ++y) {
        const uint8_t* scanline = raw.get() + y * (row_bytes + 1);
        if (scanline[0] != 0) std::abort();
        if (row_bytes && std::memcmp(scanline + 1, pixels.get() + y * row_bytes, row_bytes) != 0) {
            std::abort();
        }
    }
}

void check_rgba_to_rgb(const uint8_t* data, size_t size) {
    const size_t width = size / 4;
    auto rgba = exact_copy(data, 4 * width);
    auto rgb = exact_buffer(3 * width);
    tessarin::png::rgba_to_rgb_row(std::span<const uint8_t>(rgba.get(), 4 * width),
                                   std::span<uint8_t>(rgb.get(), 3 * width), width);
    for (size_t x = 0; x < width; ++x) {
        for (size_t c = 0; c < 3; ++c) {
            if (rgb[3 * x + c] != rgba[4 * x + c]) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t selector = data[0];
    const uint8_t parameter = data[1];
    // The selector turns the AVX2 kernels off half of the time, so the
    // baseline kernels are fuzzed on processors that have AVX2 too.
    tessarin::simd::allow_avx2_kernels(selector / 4 % 2 == 0);
    data += 2;
    size -= 2;
    switch (selector % 4) {
        case 0:
            check_bmp_rows(data, size, parameter % 4);
            break;
        case 1:
            check_filter_none_layout(data, size, parameter % 16);
            break;
        case 2:
            check_stored_rows(data, size, 1 + parameter % 8, parameter / 8 % 8, parameter >= 64);
            break;
        default:
            check_rgba_to_rgb(data, size);
            break;
    }
    return 0;
}
