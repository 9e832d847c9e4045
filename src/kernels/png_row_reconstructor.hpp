// Reconstruction of PNG image rows from inflated data that arrives in pieces
// of any size: rows split between pieces are carried over, runs of Average or
// Paeth rows are undone together, and RGBA rows pass through a small ring of
// row buffers on their way to RGB. Pure C++ over byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin::png {

// Where a RowReconstructor gets its memory. It asks only when data needs it,
// so that what is allocated follows the data that has arrived rather than
// the size a header claims. Each request returns false when the memory
// cannot be had.
class RowMemory {
public:
    // The RGB result, `size` bytes; asked for once.
    virtual bool output(size_t size, std::span<uint8_t>& out) = 0;
    // The buffer for rows split between pieces (up to a run of them), grown
    // to `size` bytes with its first bytes kept.
    virtual bool carry(size_t size, std::span<uint8_t>& out) = 0;
    // The ring of reconstructed RGBA rows, `size` bytes; asked for once.
    virtual bool ring(size_t size, std::span<uint8_t>& out) = 0;

protected:
    ~RowMemory() = default;
};

enum class RowStatus { ok, no_memory, unsupported_filter };

class RowReconstructor {
public:
    // An image of `rows` rows of `width` pixels, at 3 (RGB) or 4 (RGBA) bytes
    // per pixel; `run_rows` is the most rows undone at once (at least 1).
    RowReconstructor(size_t width, size_t rows, int bytes_per_pixel, size_t run_rows, RowMemory& memory) noexcept;

    // Takes the next inflated bytes. Once reconstruction has stopped (an
    // error, or every row done) bytes are only counted.
    void feed(std::span<const uint8_t> data) noexcept;

    // Called when all data has been fed: an image without rows asks for its
    // (empty) result here. Returns the final status.
    RowStatus finish() noexcept;

    uint64_t received() const noexcept { return received_; }
    RowStatus status() const noexcept { return status_; }
    // The filter type byte that stopped reconstruction.
    int unsupported_filter_type() const noexcept { return bad_filter_; }

    // The most rows any reconstructor takes at once, whatever it is given.
    static constexpr size_t max_run_rows = 8;

private:
    void stop(RowStatus status) noexcept;
    bool reserve_output() noexcept;
    bool reserve_carry(size_t size) noexcept;
    bool reserve_ring() noexcept;
    std::span<uint8_t> rgba_row(size_t ahead) const noexcept;
    size_t run_length(std::span<const uint8_t> data) const noexcept;
    size_t rows_to_gather(int filter_type) const noexcept;
    size_t reconstruct_rows(std::span<const uint8_t> data, bool leave_cut_run) noexcept;
    void reconstruct_run(std::span<const uint8_t> rows, size_t count) noexcept;
    void reconstruct_row(std::span<const uint8_t> row) noexcept;

    RowMemory& memory_;
    const int bytes_per_pixel_;
    const size_t width_, rows_, stride_;
    const size_t run_rows_;
    const size_t ring_size_;
    std::span<uint8_t> out_, carry_, rgba_ring_;
    bool have_output_ = false;
    size_t ring_previous_ = 0;
    std::span<const uint8_t> prev_row_;  // empty before the first row: all zero
    size_t row_ = 0, carry_size_ = 0, carry_wanted_ = 0;
    uint64_t received_ = 0;
    RowStatus status_ = RowStatus::ok;
    int bad_filter_ = 0;
};

}  // namespace tessarin::png
