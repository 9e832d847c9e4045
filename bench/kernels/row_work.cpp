// Runs one kernel over a number of rows of 1024 pixels, for counting the
// instructions a row costs where time cannot be measured (under emulation):
// the difference between two row counts divided by the difference in rows
// leaves out start-up and set-up.
//
//   row_work KERNEL ROWS vector|scalar
//
// KERNEL is one of sub3 sub4 average3 average4 paeth3 paeth4 (one row at a
// time), average-run3 average-run4 paeth-run3 paeth-run4 (rows in runs),
// rgba-to-rgb, bgr-to-rgb; `scalar` switches the vector kernels off.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "kernels/bmp_pixel_rows.hpp"
#include "kernels/png_row_layout.hpp"
#include "kernels/png_unfilter.hpp"
#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace {

constexpr size_t row_pixels = 1024;

std::vector<uint8_t> pseudo_random_bytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (auto& value : bytes) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

struct Filter {
    std::string_view name;
    int type;
    int bpp;
    bool run;
};

constexpr Filter filters[] = {
    {"sub3", 1, 3, false},          {"sub4", 1, 4, false},          {"average3", 3, 3, false},
    {"average4", 3, 4, false},      {"paeth3", 4, 3, false},        {"paeth4", 4, 4, false},
    {"average-run3", 3, 3, true},   {"average-run4", 3, 4, true},   {"paeth-run3", 4, 3, true},
    {"paeth-run4", 4, 4, true},
};

// Rows of one filter, each against the one before it, in runs or one by one.
// Every row has the same filtered bytes and the output is not cleared, so
// only the kernels' work grows with the number of rows.
uint8_t unfilter_rows(const Filter& filter, size_t rows) {
    const size_t n = row_pixels * static_cast<size_t>(filter.bpp);
    const auto scanline = pseudo_random_bytes(n, 1);
    const auto out = std::make_unique_for_overwrite<uint8_t[]>(n * (rows + 1));
    const auto prev = pseudo_random_bytes(n, 2);
    std::memcpy(out.get(), prev.data(), n);
    std::vector<std::span<const uint8_t>> lines(rows, std::span<const uint8_t>(scanline));
    std::vector<std::span<uint8_t>> targets;
    for (size_t y = 0; y < rows; ++y) targets.emplace_back(out.get() + (y + 1) * n, n);
    if (filter.run) {
        const std::vector<uint8_t> types(rows, static_cast<uint8_t>(filter.type));
        tessarin::png::unfilter_run(types, lines, {out.get(), n}, filter.bpp, targets);
    } else {
        for (size_t y = 0; y < rows; ++y) {
            tessarin::png::unfilter_row(filter.type, lines[y], {out.get() + y * n, n}, filter.bpp, targets[y]);
        }
    }
    return out[n * (rows + 1) - 1];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::string_view(argv[3]) != "vector" && std::string_view(argv[3]) != "scalar")) {
        std::fprintf(stderr, "usage: row_work KERNEL ROWS vector|scalar\n");
        return 2;
    }
    const std::string_view kernel = argv[1];
    const auto rows = static_cast<size_t>(std::strtoul(argv[2], nullptr, 10));
    if (std::string_view(argv[3]) == "scalar") {
        tessarin::simd::allow_avx2_kernels(false);
        tessarin::simd::allow_neon_kernels(false);
    }
    uint8_t last = 0;
    if (kernel == "rgba-to-rgb" || kernel == "bgr-to-rgb") {
        const bool rgba = kernel == "rgba-to-rgb";
        const auto source = pseudo_random_bytes(row_pixels * (rgba ? 4 : 3), 3);
        std::vector<uint8_t> rgb(row_pixels * 3);
        for (size_t y = 0; y < rows; ++y) {
            if (rgba) {
                tessarin::png::rgba_to_rgb_row(source, rgb, row_pixels);
            } else {
                tessarin::bmp::bgr_to_rgb_row(source, rgb, row_pixels);
            }
            last = static_cast<uint8_t>(last + rgb[y % rgb.size()]);
        }
    } else {
        const Filter* chosen = nullptr;
        for (const Filter& filter : filters) {
            if (filter.name == kernel) chosen = &filter;
        }
        if (chosen == nullptr) {
            std::fprintf(stderr, "unknown kernel %s\n", argv[1]);
            return 2;
        }
        last = unfilter_rows(*chosen, rows);
    }
    // Printing a result keeps the work from being optimised away.
    std::printf("%d\n", last);
    return 0;
}
