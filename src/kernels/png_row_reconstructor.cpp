#include "kernels/png_row_reconstructor.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/png_row_layout.hpp"
#include "kernels/png_unfilter.hpp"

namespace tessarin::png {

// The ring holds one more row than a run takes (the row above the run), but
// never more rows than the image has: one row needs no row above it.
RowReconstructor::RowReconstructor(size_t width, size_t rows, int bytes_per_pixel, size_t run_rows,
                                   RowMemory& memory) noexcept
    : memory_(memory),
      bytes_per_pixel_(bytes_per_pixel),
      width_(width),
      rows_(rows),
      stride_(width * static_cast<size_t>(bytes_per_pixel)),
      run_rows_(std::clamp<size_t>(run_rows, 1, max_run_rows)),
      ring_size_(std::min(run_rows_ + 1, std::max<size_t>(rows, 1))) {}

// Whole rows are undone straight from `data`, in runs where they share the
// Average or the Paeth filter. What is left (part of a row, or a run cut
// short by the end of `data`) is gathered in the carry buffer until it holds
// the rows a run may take, so that runs are not split between pieces.
void RowReconstructor::feed(std::span<const uint8_t> data) noexcept {
    received_ += data.size();
    const size_t row_size = stride_ + 1;
    while (status_ == RowStatus::ok && !data.empty() && row_ < rows_) {
        if (carry_size_ == 0) {
            data = data.subspan(reconstruct_rows(data, true));
            if (data.empty() || status_ != RowStatus::ok || row_ == rows_) return;
            carry_wanted_ = rows_to_gather(data[0]) * row_size;
        }
        const size_t take = std::min(carry_wanted_ - carry_size_, data.size());
        if (!reserve_carry(carry_size_ + take)) return;
        std::memcpy(carry_.data() + carry_size_, data.data(), take);
        carry_size_ += take;
        data = data.subspan(take);
        if (carry_size_ == carry_wanted_) {
            carry_size_ = 0;
            reconstruct_rows(carry_.first(carry_wanted_), false);
        }
    }
}

// How many rows to gather, beginning with a row of `filter_type`: as many as
// a run takes when it can begin one, else that row alone; never more than
// the image has left.
size_t RowReconstructor::rows_to_gather(int filter_type) const noexcept {
    const bool runs = !prev_row_.empty() && (filter_type == filter_average || filter_type == filter_paeth);
    return runs ? std::min(run_rows_, rows_ - row_) : 1;
}

// Undoes the whole rows at the start of `data` and returns how many bytes
// they took. With `leave_cut_run`, a run that reaches the end of `data` while
// shorter than a run may be, and before the image's last row, is left undone.
size_t RowReconstructor::reconstruct_rows(std::span<const uint8_t> data, bool leave_cut_run) noexcept {
    const size_t row_size = stride_ + 1;
    size_t done = 0;
    while (status_ == RowStatus::ok && data.size() - done >= row_size && row_ < rows_) {
        const std::span<const uint8_t> rest = data.subspan(done);
        const size_t run = run_length(rest);
        if (leave_cut_run && run > 0 && run < run_rows_ && row_ + run < rows_ && rest.size() < (run + 1) * row_size) {
            break;
        }
        if (!reserve_output()) break;
        if (run >= 2) {
            reconstruct_run(rest.first(run * row_size), run);
            done += run * row_size;
        } else {
            reconstruct_row(rest.first(row_size));
            done += row_size;
        }
    }
    return done;
}

RowStatus RowReconstructor::finish() noexcept {
    if (status_ == RowStatus::ok) reserve_output();
    return status_;
}

void RowReconstructor::stop(RowStatus status) noexcept {
    if (status_ == RowStatus::ok) status_ = status;
}

bool RowReconstructor::reserve_output() noexcept {
    if (have_output_) return true;
    const size_t pixel_bytes = width_ * 3;
    if (rows_ != 0 && pixel_bytes > SIZE_MAX / rows_) return stop(RowStatus::no_memory), false;
    if (!memory_.output(pixel_bytes * rows_, out_)) return stop(RowStatus::no_memory), false;
    have_output_ = true;
    return true;
}

// Grown at least twofold each time, up to the rows being gathered, so that
// rows arriving a few bytes at a time cost few copies.
bool RowReconstructor::reserve_carry(size_t size) noexcept {
    if (size <= carry_.size()) return true;
    const size_t grown = std::min(carry_wanted_, std::max({size, 2 * carry_.size(), size_t{4096}}));
    if (!memory_.carry(grown, carry_)) return stop(RowStatus::no_memory), false;
    return true;
}

bool RowReconstructor::reserve_ring() noexcept {
    if (!rgba_ring_.empty() || stride_ == 0) return true;
    if (stride_ > SIZE_MAX / ring_size_ || !memory_.ring(ring_size_ * stride_, rgba_ring_)) {
        return stop(RowStatus::no_memory), false;
    }
    return true;
}

// The RGBA row buffer `ahead` places after the one holding the previous row.
std::span<uint8_t> RowReconstructor::rgba_row(size_t ahead) const noexcept {
    return rgba_ring_.subspan((ring_previous_ + ahead) % ring_size_ * stride_, stride_);
}

// How many whole rows at the start of `data`, below a reconstructed row,
// have the Average or the Paeth filter (in any mix), up to the most the
// kernel takes at once: two or more are undone together, much faster than
// one by one. 0 when the first row has another filter or is the image's
// first.
size_t RowReconstructor::run_length(std::span<const uint8_t> data) const noexcept {
    const auto runs = [](int filter_type) { return filter_type == filter_average || filter_type == filter_paeth; };
    if (prev_row_.empty() || !runs(data[0])) return 0;
    const size_t row_size = stride_ + 1;
    const size_t most = std::min({run_rows_, data.size() / row_size, rows_ - row_});
    size_t run = 1;
    while (run < most && runs(data[run * row_size])) ++run;
    return run;
}

void RowReconstructor::reconstruct_run(std::span<const uint8_t> rows, size_t count) noexcept {
    if (bytes_per_pixel_ == 4 && !reserve_ring()) return;
    const size_t row_size = stride_ + 1;
    const std::span<uint8_t> out_pixels = out_.subspan(row_ * width_ * 3, count * width_ * 3);
    uint8_t filter_types[max_run_rows];
    std::span<const uint8_t> scanlines[max_run_rows];
    std::span<uint8_t> targets[max_run_rows];
    for (size_t k = 0; k < count; ++k) {
        filter_types[k] = rows[k * row_size];
        scanlines[k] = rows.subspan(k * row_size + 1, stride_);
        targets[k] = bytes_per_pixel_ == 3 ? out_pixels.subspan(k * stride_, stride_) : rgba_row(k + 1);
    }
    unfilter_run({filter_types, count}, {scanlines, count}, prev_row_, bytes_per_pixel_, {targets, count});
    if (bytes_per_pixel_ == 4) {
        for (size_t k = 0; k < count; ++k) rgba_to_rgb_row(targets[k], out_pixels.subspan(k * width_ * 3), width_);
        ring_previous_ = (ring_previous_ + count) % ring_size_;
    }
    prev_row_ = targets[count - 1];
    row_ += count;
}

// RGB rows are reconstructed straight into their place in the result, which
// then serves as the previous row; RGBA rows go through the ring of row
// buffers and lose their alpha on the way.
void RowReconstructor::reconstruct_row(std::span<const uint8_t> row) noexcept {
    const std::span<const uint8_t> scanline = row.subspan(1);
    const std::span<uint8_t> out_pixels = out_.subspan(row_ * width_ * 3, width_ * 3);
    FilterStatus filtered;
    if (bytes_per_pixel_ == 3) {
        filtered = unfilter_row(row[0], scanline, prev_row_, 3, out_pixels);
        prev_row_ = out_pixels;
    } else {
        if (!reserve_ring()) return;
        const std::span<uint8_t> current = rgba_row(1);
        filtered = unfilter_row(row[0], scanline, prev_row_, 4, current);
        rgba_to_rgb_row(current, out_pixels, width_);
        prev_row_ = current;
        ring_previous_ = (ring_previous_ + 1) % ring_size_;
    }
    if (filtered != FilterStatus::ok) {
        bad_filter_ = row[0];
        stop(RowStatus::unsupported_filter);
        return;
    }
    ++row_;
}

}  // namespace tessarin::png
