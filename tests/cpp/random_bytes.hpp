// Reproducible random input for the kernel tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tessarin::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes random_bytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(count);
    for (auto& value : bytes) value = static_cast<uint8_t>(byte(generator));
    return bytes;
}

}  // namespace tessarin::testing
