// Fuzzes the encoder's forward filter kernels. Input layout: the mode (a
// filter type 0 to 4, or the per-row choice), whether the vector kernels may
// run (bit 0) and whether pixels are 1 byte rather than 3 (bit 1), the width
// in pixels, the five weights of the per-row choice (1 to
// 16), then the pixels, as many whole rows as they fill. The scanlines filter_rows writes must unfilter back to the pixels,
// each row's bytes must equal a byte-by-byte filtering written straight from
// the definitions, the per-row choice must take the type with the smallest
// weighted sum of magnitudes, the vector kernels must agree with the scalar
// ones, and rows from the middle of the image must come out as in the whole.
// Buffers are allocated at their exact sizes so that any access past a
// row's end is seen by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "kernels/png_forward_filter.hpp"
#include "kernels/png_unfilter.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace {

using tessarin::png::filter_adaptive;
using tessarin::png::RowFilter;

int reference_paeth(int left, int up, int up_left) {
    const int p = left + up - up_left;
    const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - up_left);
    if (pa <= pb && pa <= pc) return left;
    if (pb <= pc) return up;
    return up_left;
}

uint8_t reference_byte(int type, const uint8_t* row, const uint8_t* above, size_t i, size_t pixel_bytes) {
    const int left = i >= pixel_bytes ? row[i - pixel_bytes] : 0;
    const int up = above ? above[i] : 0;
    const int up_left = above && i >= pixel_bytes ? above[i - pixel_bytes] : 0;
    const int predictions[5] = {0, left, up, (left + up) / 2, reference_paeth(left, up, up_left)};
    return static_cast<uint8_t>(row[i] - predictions[type]);
}

std::unique_ptr<uint8_t[]> exact(size_t n) { return std::make_unique<uint8_t[]>(n ? n : 1); }

// The scanlines of rows [first, end) as filter_rows writes them, in an
// exactly sized buffer.
std::unique_ptr<uint8_t[]> scanlines(const RowFilter& filter, const uint8_t* pixels, size_t row_bytes,
                                     size_t pixel_bytes, size_t height, size_t first, size_t end) {
    const size_t size = (end - first) * (row_bytes + 1);
    auto out = exact(size);
    auto scratch = exact(tessarin::png::filter_scratch_size(row_bytes));
    tessarin::png::filter_rows(filter, {pixels, height * row_bytes}, row_bytes, first, end,
                               {scratch.get(), tessarin::png::filter_scratch_size(row_bytes)}, {out.get(), size},
                               pixel_bytes);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t header = 8;
    if (size < header) return 0;
    RowFilter filter{data[0] % (filter_adaptive + 1), {}};
    for (size_t t = 0; t < 5; ++t) filter.weights[t] = data[3 + t] % 16 + 1u;
    const int mode = filter.type;
    const bool vector = (data[1] & 1) != 0;
    const size_t width = data[2] % 64 + 1;
    const size_t pixel_bytes = (data[1] & 2) != 0 ? 1 : 3;
    const size_t row_bytes = pixel_bytes * width;
    const size_t height = (size - header) / row_bytes;
    if (height == 0) return 0;
    auto pixels = exact(height * row_bytes);
    std::memcpy(pixels.get(), data + header, height * row_bytes);

    tessarin::simd::allow_avx2_kernels(vector);
    tessarin::simd::allow_neon_kernels(vector);
    const auto out = scanlines(filter, pixels.get(), row_bytes, pixel_bytes, height, 0, height);
    tessarin::simd::allow_avx2_kernels(!vector);
    tessarin::simd::allow_neon_kernels(!vector);
    const auto twin = scanlines(filter, pixels.get(), row_bytes, pixel_bytes, height, 0, height);
    if (std::memcmp(out.get(), twin.get(), height * (row_bytes + 1)) != 0) std::abort();

    auto row = exact(row_bytes);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* scanline = out.get() + y * (row_bytes + 1);
        const uint8_t* original = pixels.get() + y * row_bytes;
        const uint8_t* above = y ? original - row_bytes : nullptr;
        const int type = scanline[0];
        if (type > 4 || (mode != filter_adaptive && type != mode)) std::abort();
        if (mode == filter_adaptive) {
            // The weighted sums of all five types: the one taken is smallest,
            // and comes before every type that ties with it in tie_order.
            uint64_t costs[5] = {};
            for (int t = 0; t < 5; ++t) {
                for (size_t i = 0; i < row_bytes; ++i) {
                    const uint8_t byte = reference_byte(t, original, above, i, pixel_bytes);
                    costs[t] += static_cast<uint64_t>(byte < 128 ? byte : 256 - byte);
                }
                costs[t] *= filter.weights[static_cast<size_t>(t)];
            }
            int tie_rank[5] = {};
            for (int rank = 0; rank < 5; ++rank) tie_rank[tessarin::png::tie_order[rank]] = rank;
            for (int t = 0; t < 5; ++t) {
                if (costs[t] < costs[type] || (costs[t] == costs[type] && tie_rank[t] < tie_rank[type])) std::abort();
            }
        }
        for (size_t i = 0; i < row_bytes; ++i) {
            if (scanline[1 + i] != reference_byte(type, original, above, i, pixel_bytes)) std::abort();
        }
        const std::span<const uint8_t> prev =
            y ? std::span<const uint8_t>(above, row_bytes) : std::span<const uint8_t>();
        if (tessarin::png::unfilter_row(type, {scanline + 1, row_bytes}, prev, static_cast<int>(pixel_bytes),
                                        {row.get(), row_bytes}) !=
                tessarin::png::FilterStatus::ok ||
            std::memcmp(row.get(), original, row_bytes) != 0) {
            std::abort();
        }
    }

    if (height > 2) {
        const auto middle = scanlines(filter, pixels.get(), row_bytes, pixel_bytes, height, 1, height - 1);
        if (std::memcmp(middle.get(), out.get() + row_bytes + 1, (height - 2) * (row_bytes + 1)) != 0) std::abort();
    }
    return 0;
}
