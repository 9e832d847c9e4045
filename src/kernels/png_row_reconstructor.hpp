// Reconstruction of PNG image rows from inflated data that arrives in pieces
// of any size: rows split between pieces are carried over, runs of Average or
// Paeth rows are undone together, and scanlines of a format other than the
// result's pass through a small ring of row buffers on their way to it. An
// Adam7 pass is reconstructed as an image of its own whose rows and pixels
// are spread over the result's. Pure C++ over byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/png_row_formats.hpp"

namespace tessarin::png {

// Where a RowReconstructor gets its memory. It asks only when data needs it,
// so that what is allocated follows the data that has arrived rather than
// the size a header claims. Each request returns false when the memory
// cannot be had.
class RowMemory {
public:
    // The result's bytes from the first row the reconstructor fills to the
    // end of its last, `size` of them; asked for once.
    virtual bool output(size_t size, std::span<uint8_t>& out) = 0;
    // The buffer for rows split between pieces (up to a run of them), grown
    // to `size` bytes with its first bytes kept.
    virtual bool carry(size_t size, std::span<uint8_t>& out) = 0;
    // The ring of reconstructed scanlines (and an Adam7 pass's converted
    // row), `size` bytes; asked for once.
    virtual bool ring(size_t size, std::span<uint8_t>& out) = 0;

protected:
    ~RowMemory() = default;
};

enum class RowStatus { ok, no_memory, unsupported_filter };

// What each reconstructed scanline becomes: a row of `row_bytes` bytes of
// the result, made by `convert` with `palette` (none: every entry black).
// Without a converter the scanline already is that row (8-bit RGB, whose
// `row_bytes` are the scanline's) and is reconstructed in place.
// The scanlines of an Adam7 pass fill every `row_spacing`-th row of the
// result, and in each the pixels at columns first_column, first_column +
// column_spacing, ...: where those are not the whole row, a scanline is
// converted (it needs a converter) into a row of its own, then scattered.
struct RowOutput {
    size_t row_bytes;
    kernels::RowToRgb convert = nullptr;
    const kernels::RgbPalette* palette = nullptr;
    uint32_t row_spacing = 1, first_column = 0, column_spacing = 1;
};

class RowReconstructor {
public:
    // An image of `rows` scanlines of `format`, each made into a row of the
    // result as `output` says; `run_rows` is the most rows undone at once (at
    // least 1).
    RowReconstructor(const kernels::ScanlineFormat& format, size_t rows, const RowOutput& output, size_t run_rows,
                     RowMemory& memory) noexcept;

    // Takes the next inflated bytes. Once reconstruction has stopped (an
    // error, or every row done) bytes are only counted. A row with an
    // unsupported filter type stops it as soon as the row is whole.
    void feed(std::span<const uint8_t> data) noexcept;

    // Called when all data has been fed: an image without rows asks for its
    // (empty) result here. Returns the final status.
    RowStatus finish() noexcept;

    uint64_t received() const noexcept { return received_; }
    RowStatus status() const noexcept { return status_; }
    // The filter type byte that stopped reconstruction.
    int unsupported_filter_type() const noexcept { return bad_filter_; }
    // The rows reconstructed so far, which is the index of the row that
    // stopped reconstruction.
    size_t rows_done() const noexcept { return row_; }

    // The most rows any reconstructor takes at once, whatever it is given.
    static constexpr size_t max_run_rows = 8;

private:
    void stop(RowStatus status) noexcept;
    bool reserve_output() noexcept;
    bool reserve_carry(size_t size) noexcept;
    bool reserve_ring() noexcept;
    std::span<uint8_t> ring_row(size_t ahead) const noexcept;
    std::span<uint8_t> output_row(size_t ahead) const noexcept;
    void convert_rows(std::span<const std::span<uint8_t>> scanlines) noexcept;
    size_t run_length(std::span<const uint8_t> data) const noexcept;
    size_t rows_to_gather(int filter_type) const noexcept;
    void reconstruct_to_unsupported_filter() noexcept;
    size_t reconstruct_rows(std::span<const uint8_t> data, bool leave_cut_run) noexcept;
    void reconstruct_run(std::span<const uint8_t> rows, size_t count) noexcept;
    void reconstruct_row(std::span<const uint8_t> row) noexcept;

    RowMemory& memory_;
    const int filter_distance_;
    const size_t stride_, rows_;
    const size_t out_row_;
    const kernels::RowToRgb convert_;
    const kernels::RgbPalette& palette_;
    const uint32_t row_spacing_, first_column_, column_spacing_;
    // An Adam7 pass's converted row, scattered over the result's.
    const size_t pass_rgb_bytes_;
    const size_t run_rows_;
    const size_t ring_size_;
    std::span<uint8_t> out_, carry_, ring_, pass_rgb_;
    bool have_output_ = false;
    size_t ring_previous_ = 0;
    std::span<const uint8_t> prev_row_;  // empty before the first row: all zero
    size_t row_ = 0, carry_size_ = 0, carry_wanted_ = 0;
    uint64_t received_ = 0;
    RowStatus status_ = RowStatus::ok;
    int bad_filter_ = 0;
};

}  // namespace tessarin::png
