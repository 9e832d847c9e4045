// The PNG filters written straight from their definitions, byte by byte:
// the reference the kernels are tested against.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "random_bytes.hpp"

namespace tessarin::testing {

// The predictor as the PNG standard words it: the neighbour nearest to
// left + up - up_left, ties going to left, then up.
inline int reference_paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Predicts byte i of a row from its reconstructed neighbours; `prev` is the
// reconstructed row above (all zeros for the first row).
inline int reference_prediction(int filter_type, const Bytes& row, const Bytes& prev, size_t i,
                                size_t bpp) {
    const int left = i >= bpp ? row[i - bpp] : 0;
    const int up = prev[i];
    const int up_left = i >= bpp ? prev[i - bpp] : 0;
    switch (filter_type) {
        case 1: return left;
        case 2: return up;
        case 3: return (left + up) / 2;
        case 4: return reference_paeth(left, up, up_left);
        default: return 0;
    }
}

inline Bytes reference_unfilter(int filter_type, const Bytes& scanline, const Bytes& prev, size_t bpp) {
    Bytes row(scanline.size());
    for (size_t i = 0; i < row.size(); ++i) {
        row[i] = static_cast<uint8_t>(scanline[i] +
                                      reference_prediction(filter_type, row, prev, i, bpp));
    }
    return row;
}

// The encoder side: filters an original row against the original row above.
inline Bytes reference_filter(int filter_type, const Bytes& row, const Bytes& prev, size_t bpp) {
    Bytes scanline(row.size());
    for (size_t i = 0; i < row.size(); ++i) {
        scanline[i] =
            static_cast<uint8_t>(row[i] - reference_prediction(filter_type, row, prev, i, bpp));
    }
    return scanline;
}

}  // namespace tessarin::testing
