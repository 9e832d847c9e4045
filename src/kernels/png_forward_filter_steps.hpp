// The forward filters written once over a vector policy V and instantiated
// for AVX2 (32 bytes a step) and NEON (16): every prediction reads only
// original bytes, so nothing is carried from one step to the next. Only the
// vector kernel sources include this header; everything in it has internal
// linkage, so the copy built with AVX2 enabled is never linked in place of
// another.
//
// V provides: Reg; `width`, the bytes of a step; load, store; sub8; the
// predictions average(left, up) and paeth(a, b, c) in bytes; Sums with
// no_sums(), add_magnitudes(sums, bytes) and total(sums).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/png_format.hpp"

namespace tessarin::png {
namespace {

// Every kernel starts at the second pixel, `distance` bytes in: the first
// has no left neighbour.

// The byte and its three neighbours at byte i of a row of `distance` bytes
// a pixel: left (a), up (b) and upper left (c).
template <class V>
struct Neighbours {
    typename V::Reg byte, left, up, up_left;
};

template <class V>
Neighbours<V> load_neighbours(const uint8_t* row, const uint8_t* prev, size_t i, size_t distance) noexcept {
    return {V::load(row + i), V::load(row + i - distance), V::load(prev + i), V::load(prev + i - distance)};
}

template <class V>
typename V::Reg filtered(int filter_type, const Neighbours<V>& n) noexcept {
    switch (filter_type) {
        case filter_sub:
            return V::sub8(n.byte, n.left);
        case filter_up:
            return V::sub8(n.byte, n.up);
        case filter_average:
            return V::sub8(n.byte, V::average(n.left, n.up));
        default:
            return V::sub8(n.byte, V::paeth(n.left, n.up, n.up_left));
    }
}

template <class V, int FilterType>
size_t filter_row_steps(const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n, size_t distance) noexcept {
    size_t i = distance;
    for (; i + V::width <= n; i += V::width) {
        V::store(out + i, filtered<V>(FilterType, load_neighbours<V>(row, prev, i, distance)));
    }
    return i;
}

template <class V>
size_t filter_row_vector(int filter_type, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n,
                         size_t distance) noexcept {
    switch (filter_type) {
        case filter_sub:
            return filter_row_steps<V, filter_sub>(row, prev, out, n, distance);
        case filter_up:
            return filter_row_steps<V, filter_up>(row, prev, out, n, distance);
        case filter_average:
            return filter_row_steps<V, filter_average>(row, prev, out, n, distance);
        default:
            return filter_row_steps<V, filter_paeth>(row, prev, out, n, distance);
    }
}

template <class V>
size_t filter_candidates_vector(const uint8_t* row, const uint8_t* prev, uint8_t* sub, uint8_t* up,
                                uint8_t* average, uint8_t* paeth, uint64_t* sums, size_t n, size_t distance) noexcept {
    uint8_t* const outs[4] = {sub, up, average, paeth};
    typename V::Sums totals[5] = {V::no_sums(), V::no_sums(), V::no_sums(), V::no_sums(), V::no_sums()};
    size_t i = distance;
    for (; i + V::width <= n; i += V::width) {
        const Neighbours<V> neighbours = load_neighbours<V>(row, prev, i, distance);
        totals[filter_none] = V::add_magnitudes(totals[filter_none], neighbours.byte);
        for (int type = filter_sub; type <= filter_paeth; ++type) {
            const typename V::Reg bytes = filtered<V>(type, neighbours);
            V::store(outs[type - 1] + i, bytes);
            totals[type] = V::add_magnitudes(totals[type], bytes);
        }
    }
    for (size_t type = 0; type < 5; ++type) sums[type] += V::total(totals[type]);
    return i;
}

}  // namespace
}  // namespace tessarin::png
