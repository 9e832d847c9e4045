// Fuzzes unfilter_row against a byte-by-byte reconstruction written straight
// from the PNG filter definitions. Input layout: filter type; bytes per pixel
// and whether the AVX2 kernels may run; a byte whose low bit says whether
// there is a previous row and whose other bits pick a run length; then the
// scanline and the previous row (the remaining bytes split in half). Average
// and Paeth inputs with a previous row also go through unfilter_run as runs
// of two to nine rows (all of that filter, or Average and Paeth in turn),
// the scanline and the previous row's bytes serving in turn as scanlines.
// At 3 and 4 bytes per pixel the same bytes also go as an
// image of two rows through the row reconstructor, in pieces whose sizes the
// run byte picks, and must give the reference pixels. Buffers are allocated
// at their exact sizes so that any access past a row's end is seen by
// AddressSanitizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "kernels/png_row_formats.hpp"
#include "kernels/png_row_reconstructor.hpp"
#include "kernels/png_unfilter.hpp"
#include "kernels/simd/avx2.hpp"

namespace {

int reference_paeth(int left, int up, int up_left) {
    const int p = left + up - up_left;
    const int pa = std::abs(p - left);
    const int pb = std::abs(p - up);
    const int pc = std::abs(p - up_left);
    if (pa <= pb && pa <= pc) return left;
    if (pb <= pc) return up;
    return up_left;
}

void reference_unfilter(int filter_type, const uint8_t* line, const uint8_t* prev, size_t n,
                        size_t bpp, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const int left = i >= bpp ? out[i - bpp] : 0;
        const int up = prev ? prev[i] : 0;
        const int up_left = prev && i >= bpp ? prev[i - bpp] : 0;
        int predicted = 0;
        switch (filter_type) {
            case 1: predicted = left; break;
            case 2: predicted = up; break;
            case 3: predicted = (left + up) / 2; break;
            case 4: predicted = reference_paeth(left, up, up_left); break;
            default: break;
        }
        out[i] = static_cast<uint8_t>(line[i] + predicted);
    }
}

// Exact-size heap copy, so the sanitizer's redzone sits right after the data.
std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* src, size_t n) {
    auto copy = std::make_unique<uint8_t[]>(n ? n : 1);
    if (n) std::memcpy(copy.get(), src, n);
    return copy;
}

// Exactly sized memory for the row reconstructor.
class ExactMemory final : public tessarin::png::RowMemory {
public:
    bool output(size_t size, std::span<uint8_t>& out) override { return give(output_, size, out); }
    bool carry(size_t size, std::span<uint8_t>& out) override {
        auto grown = std::make_unique<uint8_t[]>(size);
        if (carry_size_) std::memcpy(grown.get(), carry_.get(), carry_size_);
        carry_ = std::move(grown);
        carry_size_ = size;
        out = {carry_.get(), size};
        return true;
    }
    bool ring(size_t size, std::span<uint8_t>& out) override { return give(ring_, size, out); }
    const uint8_t* pixels() const { return output_.get(); }

private:
    static bool give(std::unique_ptr<uint8_t[]>& buffer, size_t size, std::span<uint8_t>& out) {
        buffer = std::make_unique<uint8_t[]>(size ? size : 1);
        out = {buffer.get(), size};
        return true;
    }
    std::unique_ptr<uint8_t[]> output_, carry_, ring_;
    size_t carry_size_ = 0;
};

// Two rows of `width` pixels, `first` and `second` (each bpp * width bytes),
// both with `filter_type`, fed in pieces of `piece` bytes, reconstructed as
// the decoder does 8-bit RGB (bpp 3) and RGBA (bpp 4).
void check_reconstructor(int filter_type, const uint8_t* first, const uint8_t* second, size_t width, int bpp,
                         size_t piece) {
    const size_t stride = width * static_cast<size_t>(bpp);
    std::unique_ptr<uint8_t[]> stream = std::make_unique<uint8_t[]>(2 * (stride + 1));
    stream[0] = stream[stride + 1] = static_cast<uint8_t>(filter_type);
    std::memcpy(&stream[1], first, stride);
    std::memcpy(&stream[stride + 2], second, stride);
    ExactMemory memory;
    const int colour_type = bpp == 3 ? 2 : 6;
    tessarin::kernels::ScanlineFormat format{};
    if (!tessarin::kernels::png_scanline_format(colour_type, 8, width, format)) std::abort();
    const tessarin::png::RowOutput output{3 * width,
                                          bpp == 3 ? nullptr : tessarin::kernels::png_row_to_rgb(colour_type, 8)};
    tessarin::png::RowReconstructor rows(format, 2, output, 4, memory);
    for (size_t fed = 0; fed < 2 * (stride + 1); fed += piece) {
        rows.feed({&stream[fed], std::min(piece, 2 * (stride + 1) - fed)});
    }
    if (rows.finish() != tessarin::png::RowStatus::ok) std::abort();
    auto row0 = std::make_unique<uint8_t[]>(stride + 1), row1 = std::make_unique<uint8_t[]>(stride + 1);
    reference_unfilter(filter_type, first, nullptr, stride, static_cast<size_t>(bpp), row0.get());
    reference_unfilter(filter_type, second, row0.get(), stride, static_cast<size_t>(bpp), row1.get());
    for (size_t x = 0; x < width; ++x) {
        const size_t from = x * static_cast<size_t>(bpp);
        if (std::memcmp(memory.pixels() + 3 * x, &row0[from], 3) != 0 ||
            std::memcmp(memory.pixels() + 3 * (width + x), &row1[from], 3) != 0) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Types 0 to 4 plus a few unsupported ones, negative included.
    const int filter_type = static_cast<int>(data[0] % 8) - 1;
    // Distances 1 to 8, with 3 and 4 (the RGB and RGBA cases) the most frequent.
    const int choice = data[1] % 12;
    const int bytes_per_pixel = choice < 4 ? 3 : choice < 8 ? 4 : choice - 7;
    // The same byte turns the AVX2 kernels off half of the time, so the
    // baseline kernels are fuzzed on processors that have AVX2 too.
    tessarin::simd::allow_avx2_kernels(data[1] / 12 % 2 == 0);
    const bool has_prev = (data[2] & 1) != 0;
    const size_t run_rows = 2 + data[2] / 2 % 8;
    data += 3;
    size -= 3;
    const size_t n = has_prev ? size / 2 : size;

    auto line = exact_copy(data, n);
    auto prev = has_prev ? exact_copy(data + n, n) : nullptr;
    auto out = std::make_unique<uint8_t[]>(n ? n : 1);
    auto expected = std::make_unique<uint8_t[]>(n ? n : 1);
    const uint8_t sentinel = 0xA5;
    std::memset(out.get(), sentinel, n ? n : 1);

    const auto status = tessarin::png::unfilter_row(
        filter_type, std::span<const uint8_t>(line.get(), n),
        has_prev ? std::span<const uint8_t>(prev.get(), n) : std::span<const uint8_t>(),
        bytes_per_pixel, std::span<uint8_t>(out.get(), n));

    if (n == 0) {
        if (status != tessarin::png::FilterStatus::ok) std::abort();
        return 0;
    }
    if (filter_type < 0 || filter_type > 4) {
        if (status != tessarin::png::FilterStatus::unsupported_filter) std::abort();
        for (size_t i = 0; i < n; ++i) {
            if (out[i] != sentinel) std::abort();
        }
        return 0;
    }
    if (status != tessarin::png::FilterStatus::ok) std::abort();
    reference_unfilter(filter_type, line.get(), prev.get(), n,
                       static_cast<size_t>(bytes_per_pixel), expected.get());
    if (std::memcmp(out.get(), expected.get(), n) != 0) std::abort();
    if (has_prev && (bytes_per_pixel == 3 || bytes_per_pixel == 4)) {
        check_reconstructor(filter_type, line.get(), prev.get(), n / static_cast<size_t>(bytes_per_pixel),
                            bytes_per_pixel, 1 + data[-1] % 64);
    }
    if ((filter_type != 3 && filter_type != 4) || !has_prev) return 0;

    // Runs of 2 to 9 rows in exactly sized buffers.
    const uint8_t* sources[2] = {line.get(), prev.get()};
    const size_t count = run_rows;
    std::unique_ptr<uint8_t[]> outs[9], expected_rows[9];
    std::span<const uint8_t> scanlines[9];
    std::span<uint8_t> targets[9];
    // Rows take the filter type, or (odd run bytes) Average and Paeth in turn.
    const bool alternate = (data[-1] & 0x80) != 0;
    uint8_t filter_types[9];
    for (size_t k = 0; k < count; ++k) {
        filter_types[k] = static_cast<uint8_t>(alternate ? 3 + (filter_type + static_cast<int>(k)) % 2 : filter_type);
        outs[k] = std::make_unique<uint8_t[]>(n);
        expected_rows[k] = std::make_unique<uint8_t[]>(n);
        scanlines[k] = {sources[k % 2], n};
        targets[k] = {outs[k].get(), n};
        reference_unfilter(filter_types[k], sources[k % 2], k == 0 ? prev.get() : expected_rows[k - 1].get(), n,
                           static_cast<size_t>(bytes_per_pixel), expected_rows[k].get());
    }
    tessarin::png::unfilter_run({filter_types, count}, {scanlines, count}, {prev.get(), n}, bytes_per_pixel,
                                {targets, count});
    for (size_t k = 0; k < count; ++k) {
        if (std::memcmp(outs[k].get(), expected_rows[k].get(), n) != 0) std::abort();
    }
    return 0;
}
