// Throughput of the codec kernels on one row of realistic size, each beside a
// memcpy of the same byte count as the ceiling to compare against.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "kernels/adam7.hpp"
#include "kernels/bmp_pixel_rows.hpp"
#include "kernels/png_forward_filter.hpp"
#include "kernels/png_row_formats.hpp"
#include "kernels/png_row_layout.hpp"
#include "kernels/png_unfilter.hpp"
#include "kernels/simd/avx2.hpp"

namespace {

constexpr size_t row_pixels = 4096;

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> bytes(count);
    for (auto& value : bytes) value = static_cast<uint8_t>(byte(generator));
    return bytes;
}

void set_bytes_processed(benchmark::State& state, size_t bytes_per_iteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes_per_iteration));
}

// Arguments: filter type, bytes per pixel.
void BM_unfilter_row(benchmark::State& state) {
    const auto filter_type = static_cast<int>(state.range(0));
    const auto bpp = static_cast<int>(state.range(1));
    const size_t row_bytes = row_pixels * static_cast<size_t>(bpp);
    const auto scanline = random_bytes(row_bytes, 1);
    const auto prev = random_bytes(row_bytes, 2);
    std::vector<uint8_t> out(row_bytes);
    for (auto _ : state) {
        auto status = tessarin::png::unfilter_row(filter_type, scanline, prev, bpp, out);
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, row_bytes);
}
BENCHMARK(BM_unfilter_row)->ArgNames({"filter", "bpp"})->ArgsProduct({{0, 1, 2, 3, 4}, {3, 4}});

// A run of rows in one pass; bytes counted for all rows. Arguments: filter
// type (34 for Average and Paeth rows in turn), rows in the run (8 and 4 take
// AVX2 where the processor has it), bytes per pixel.
void BM_unfilter_run(benchmark::State& state) {
    const auto filter_type = static_cast<int>(state.range(0));
    const auto count = static_cast<size_t>(state.range(1));
    const auto bpp = static_cast<int>(state.range(2));
    const size_t row_bytes = row_pixels * static_cast<size_t>(bpp);
    const auto prev = random_bytes(row_bytes, 2);
    std::vector<std::vector<uint8_t>> scanlines, outs;
    std::vector<std::span<const uint8_t>> lines;
    std::vector<std::span<uint8_t>> targets;
    for (size_t k = 0; k < count; ++k) {
        scanlines.push_back(random_bytes(row_bytes, 10 + static_cast<uint32_t>(k)));
        outs.emplace_back(row_bytes);
    }
    for (size_t k = 0; k < count; ++k) {
        lines.emplace_back(scanlines[k]);
        targets.emplace_back(outs[k]);
    }
    std::vector<uint8_t> types(count, static_cast<uint8_t>(filter_type));
    if (filter_type == 34) {
        for (size_t k = 0; k < count; ++k) types[k] = static_cast<uint8_t>(3 + k % 2);
    }
    for (auto _ : state) {
        tessarin::png::unfilter_run(types, lines, prev, bpp, targets);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, count * row_bytes);
}
BENCHMARK(BM_unfilter_run)->ArgNames({"filter", "rows", "bpp"})->ArgsProduct({{3, 4, 34}, {2, 4, 8}, {3, 4}});

// Argument: byte count.
void BM_memcpy(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    const auto src = random_bytes(count, 3);
    std::vector<uint8_t> dst(count);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), count);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, count);
}
BENCHMARK(BM_memcpy)->Arg(row_pixels * 3)->Arg(row_pixels * 4)->Arg(64 * 3 * 1024);

// Bytes processed count the RGB side of each conversion, as memcpy(3 * width).
void BM_rgba_to_rgb_row(benchmark::State& state) {
    const auto width = static_cast<size_t>(state.range(0));
    const auto rgba = random_bytes(4 * width, 4);
    std::vector<uint8_t> rgb(3 * width);
    for (auto _ : state) {
        tessarin::png::rgba_to_rgb_row(rgba, rgb, width);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, 3 * width);
}
BENCHMARK(BM_rgba_to_rgb_row)->Arg(row_pixels);

size_t bmp_stride(size_t width) { return (3 * width + 3) / 4 * 4; }

// Widths 4096 (no padding) and 4093 (three padding bytes per row).
void BM_bgr_to_rgb_row(benchmark::State& state) {
    const auto width = static_cast<size_t>(state.range(0));
    const auto bgr = random_bytes(bmp_stride(width), 5);
    std::vector<uint8_t> rgb(3 * width);
    for (auto _ : state) {
        tessarin::bmp::bgr_to_rgb_row(bgr, rgb, width);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, 3 * width);
}
BENCHMARK(BM_bgr_to_rgb_row)->Arg(row_pixels)->Arg(row_pixels - 3);

void BM_rgb_to_bgr_padded_row(benchmark::State& state) {
    const auto width = static_cast<size_t>(state.range(0));
    const auto rgb = random_bytes(3 * width, 6);
    std::vector<uint8_t> bgr(bmp_stride(width));
    for (auto _ : state) {
        tessarin::bmp::rgb_to_bgr_padded_row(rgb, bgr, width);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, 3 * width);
}
BENCHMARK(BM_rgb_to_bgr_padded_row)->Arg(row_pixels)->Arg(row_pixels - 3);

// 64 stored rows laid out in place, again and again (the kernel's work does
// not depend on the bytes). Arguments: width, 4096 (no padding) or 4093;
// 1 for bottom-up rows.
void BM_stored_rows_to_rgb_in_place(benchmark::State& state) {
    const auto width = static_cast<size_t>(state.range(0));
    const bool bottom_up = state.range(1) != 0;
    const size_t rows = 64;
    auto buffer = random_bytes(bmp_stride(width) * rows, 8);
    for (auto _ : state) {
        tessarin::bmp::stored_rows_to_rgb_in_place(buffer, width, rows, bmp_stride(width), bottom_up);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, 3 * width * rows);
}
BENCHMARK(BM_stored_rows_to_rgb_in_place)->ArgNames({"width", "bottom_up"})->ArgsProduct({{row_pixels, row_pixels - 3}, {0, 1}});

// Argument: image width; 64 rows of RGB pixels laid out behind filter bytes.
void BM_layout_filter_none(benchmark::State& state) {
    const auto width = static_cast<size_t>(state.range(0));
    const size_t rows = 64;
    const size_t row_bytes = 3 * width;
    const auto pixels = random_bytes(row_bytes * rows, 7);
    std::vector<uint8_t> raw((row_bytes + 1) * rows);
    for (auto _ : state) {
        tessarin::png::layout_filter_none(pixels, row_bytes, rows, raw);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, row_bytes * rows);
}
BENCHMARK(BM_layout_filter_none)->Arg(64)->Arg(1024);

// The encoder's forward filters on one RGB row against a row above.
// Argument: filter type.
void BM_filter_row(benchmark::State& state) {
    const auto filter_type = static_cast<int>(state.range(0));
    const size_t row_bytes = row_pixels * 3;
    const auto row = random_bytes(row_bytes, 8);
    const auto prev = random_bytes(row_bytes, 9);
    std::vector<uint8_t> out(row_bytes);
    for (auto _ : state) {
        tessarin::png::filter_row(filter_type, row, prev, out);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, row_bytes);
}
BENCHMARK(BM_filter_row)->ArgName("filter")->DenseRange(1, 4);

// All four filtered rows and the five sums the per-row choice compares.
void BM_filter_row_candidates(benchmark::State& state) {
    const size_t row_bytes = row_pixels * 3;
    const auto row = random_bytes(row_bytes, 8);
    const auto prev = random_bytes(row_bytes, 9);
    std::vector<uint8_t> scratch(4 * row_bytes);
    tessarin::png::FilterCandidates candidates{};
    for (size_t type = 1; type < 5; ++type) {
        candidates.bytes[type] = std::span<uint8_t>(scratch).subspan((type - 1) * row_bytes, row_bytes);
    }
    for (auto _ : state) {
        tessarin::png::filter_row_candidates(row, prev, candidates);
        benchmark::DoNotOptimize(candidates.sums);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, row_bytes);
}
BENCHMARK(BM_filter_row_candidates);

// The reader's converter of one scanline to RGB; bytes counted on the RGB
// side. Arguments: colour type, bit depth.
void BM_row_to_rgb(benchmark::State& state) {
    const auto colour_type = static_cast<int>(state.range(0));
    const auto bit_depth = static_cast<int>(state.range(1));
    tessarin::kernels::ScanlineFormat format{};
    tessarin::kernels::png_scanline_format(colour_type, bit_depth, row_pixels, format);
    const auto scanline = random_bytes(format.row_bytes, 10);
    tessarin::kernels::RgbPalette palette;
    const auto entries = random_bytes(sizeof palette.rgb, 11);
    std::memcpy(palette.rgb, entries.data(), entries.size());
    const auto convert = tessarin::kernels::png_row_to_rgb(colour_type, bit_depth);
    std::vector<uint8_t> rgb(3 * row_pixels);
    for (auto _ : state) {
        convert(scanline, rgb, palette);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, rgb.size());
}
BENCHMARK(BM_row_to_rgb)
    ->ArgNames({"colour", "depth"})
    ->Args({0, 1})->Args({0, 2})->Args({0, 4})->Args({0, 8})->Args({0, 16})->Args({2, 16})
    ->Args({3, 1})->Args({3, 2})->Args({3, 4})->Args({3, 8})->Args({6, 16});

// One Adam7 pass row placed in an image row of row_pixels; bytes counted
// for the pass pixels. Argument: the pass's column step.
void BM_adam7_scatter_rgb(benchmark::State& state) {
    const auto dx = static_cast<size_t>(state.range(0));
    const auto pass_rgb = random_bytes(3 * (row_pixels / dx), 12);
    std::vector<uint8_t> image(3 * row_pixels);
    for (auto _ : state) {
        tessarin::kernels::adam7_scatter_rgb(pass_rgb, image, 0, dx);
        benchmark::ClobberMemory();
    }
    set_bytes_processed(state, pass_rgb.size());
}
BENCHMARK(BM_adam7_scatter_rgb)->ArgName("dx")->Arg(2)->Arg(4)->Arg(8);

}  // namespace

// Google Benchmark's own main, plus --no-avx2: the baseline kernels on a
// processor that has AVX2.
int main(int argc, char** argv) {
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-avx2") == 0) {
            tessarin::simd::allow_avx2_kernels(false);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
