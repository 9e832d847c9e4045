#include "kernels/png_row_reconstructor.hpp"

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"
#include "kernels/adam7.hpp"
#include "kernels/png_unfilter.hpp"

namespace tessarin::png {

namespace {

// The palette of formats that have none.
constexpr kernels::RgbPalette no_palette{};

}  // namespace

// The ring holds one more row than a run takes (the row above the run), but
// never more rows than the image has: one row needs no row above it.
RowReconstructor::RowReconstructor(const kernels::ScanlineFormat& format, size_t rows, const RowOutput& output,
                                   size_t run_rows, RowMemory& memory) noexcept
    : memory_(memory),
      filter_distance_(static_cast<int>(format.filter_distance)),
      stride_(format.row_bytes),
      rows_(rows),
      out_row_(output.row_bytes),
      convert_(output.convert),
      palette_(output.palette ? *output.palette : no_palette),
      row_spacing_(output.row_spacing),
      first_column_(output.first_column),
      column_spacing_(output.column_spacing),
      pass_rgb_bytes_(output.first_column != 0 || output.column_spacing != 1
                          ? 3 * static_cast<size_t>(kernels::adam7_positions(output.row_bytes / 3, output.first_column,
                                                                              output.column_spacing))
                          : 0),
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
        } else {
            reconstruct_to_unsupported_filter();
        }
    }
}

// A run being gathered may hold a whole row with an unsupported filter
// type: the rows up to it are undone at once, so that it stops
// reconstruction as soon as it has arrived, as it would outside a run.
void RowReconstructor::reconstruct_to_unsupported_filter() noexcept {
    const size_t row_size = stride_ + 1;
    for (size_t k = 0; (k + 1) * row_size <= carry_size_; ++k) {
        if (carry_[k * row_size] > filter_paeth) {
            reconstruct_rows(carry_.first((k + 1) * row_size), false);
            return;
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

// From the first row to the end of the last: rows_ - 1 row spacings and a
// row.
bool RowReconstructor::reserve_output() noexcept {
    if (have_output_) return true;
    size_t size = 0;
    if (rows_ != 0 && (!checked_mul(out_row_, size_t{row_spacing_}, size) || !checked_mul(size, rows_ - 1, size) ||
                       !checked_add(size, out_row_, size))) {
        return stop(RowStatus::no_memory), false;
    }
    if (!memory_.output(size, out_)) return stop(RowStatus::no_memory), false;
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
    if (!ring_.empty() || stride_ == 0) return true;
    size_t size = 0;
    std::span<uint8_t> memory;
    if (!checked_mul(stride_, ring_size_, size) || !checked_add(size, pass_rgb_bytes_, size) ||
        !memory_.ring(size, memory)) {
        return stop(RowStatus::no_memory), false;
    }
    ring_ = memory.first(ring_size_ * stride_);
    pass_rgb_ = memory.subspan(ring_size_ * stride_);
    return true;
}

// The ring's row buffer `ahead` places after the one holding the previous
// row.
std::span<uint8_t> RowReconstructor::ring_row(size_t ahead) const noexcept {
    return ring_.subspan((ring_previous_ + ahead) % ring_size_ * stride_, stride_);
}

// The result's row `ahead` rows after the current one.
std::span<uint8_t> RowReconstructor::output_row(size_t ahead) const noexcept {
    return out_.subspan((row_ + ahead) * row_spacing_ * out_row_, out_row_);
}

// Converts the scanlines just reconstructed in the ring into the result's
// rows from the current one, and moves the ring on past them.
void RowReconstructor::convert_rows(std::span<const std::span<uint8_t>> scanlines) noexcept {
    for (size_t k = 0; k < scanlines.size(); ++k) {
        if (pass_rgb_.empty()) {
            convert_(scanlines[k], output_row(k), palette_);
        } else {
            convert_(scanlines[k], pass_rgb_, palette_);
            kernels::adam7_scatter_rgb(pass_rgb_, output_row(k), first_column_, column_spacing_);
        }
    }
    ring_previous_ = (ring_previous_ + scanlines.size()) % ring_size_;
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
    if (convert_ && !reserve_ring()) return;
    const size_t row_size = stride_ + 1;
    uint8_t filter_types[max_run_rows];
    std::span<const uint8_t> scanlines[max_run_rows];
    std::span<uint8_t> targets[max_run_rows];
    for (size_t k = 0; k < count; ++k) {
        filter_types[k] = rows[k * row_size];
        scanlines[k] = rows.subspan(k * row_size + 1, stride_);
        targets[k] = convert_ ? ring_row(k + 1) : output_row(k);
    }
    unfilter_run({filter_types, count}, {scanlines, count}, prev_row_, filter_distance_, {targets, count});
    if (convert_) convert_rows({targets, count});
    prev_row_ = targets[count - 1];
    row_ += count;
}

// Scanlines that already are rows of the result are reconstructed straight
// into their place, which then serves as the previous row; others go
// through the ring of row buffers and are converted on the way.
void RowReconstructor::reconstruct_row(std::span<const uint8_t> row) noexcept {
    if (convert_ && !reserve_ring()) return;
    const std::span<uint8_t> target = convert_ ? ring_row(1) : output_row(0);
    const FilterStatus filtered = unfilter_row(row[0], row.subspan(1), prev_row_, filter_distance_, target);
    if (convert_) convert_rows({&target, 1});
    prev_row_ = target;
    if (filtered != FilterStatus::ok) {
        bad_filter_ = row[0];
        stop(RowStatus::unsupported_filter);
        return;
    }
    ++row_;
}

}  // namespace tessarin::png
