// Reproducible random input and row widths for the kernel tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tessarin::testing {

using Bytes = std::vector<uint8_t>;

// Row widths in pixels for the byte shuffles: every width up to three of
// the widest vector steps (16 pixels) and a little more, then long rows.
inline std::vector<size_t> row_widths() {
    std::vector<size_t> widths;
    for (size_t width = 0; width <= 52; ++width) widths.push_back(width);
    for (size_t width : {64u, 1000u, 1001u, 4093u, 4096u, 4097u}) widths.push_back(width);
    return widths;
}

inline Bytes random_bytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(count);
    for (auto& value : bytes) value = static_cast<uint8_t>(byte(generator));
    return bytes;
}

}  // namespace tessarin::testing
