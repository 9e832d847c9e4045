#include "reader/png_rows.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kernels/unfilter_any.hpp"
#include "common/checked.hpp"
#include "kernels/png_unfilter.hpp"
#include "kernels/png_row_layout.hpp"

namespace tessarin::reader {
namespace {

using kernels::RgbPalette;

// Undoes a scanline's filter at any filter distance: the vector forms of
// the distances 1, 2, 6 and 8 first, then png::unfilter_row, which has
// those of 3 and 4 and the scalar loops. `previous` is empty for the first
// row of a pass.
void unfilter(int filter_type, std::span<const uint8_t> scanline, std::span<const uint8_t> previous,
              size_t distance, std::span<uint8_t> out) noexcept {
    if (filter_type == png::filter_sub && kernels::unfilter_sub_vector(scanline, out, distance)) return;
    if (!previous.empty()) {
        if (filter_type == png::filter_average && kernels::unfilter_average_vector(scanline, previous, out, distance)) {
            return;
        }
        if (filter_type == png::filter_paeth && kernels::unfilter_paeth_vector(scanline, previous, out, distance)) {
            return;
        }
    }
    png::unfilter_row(filter_type, scanline, previous, static_cast<int>(distance), out);
}

RawBytes raw_bytes(size_t size) {
    RawBytes bytes(static_cast<uint8_t*>(PyMem_RawMalloc(std::max<size_t>(size, 1))));
    if (!bytes) PyErr_NoMemory();
    return bytes;
}

}  // namespace

bool png_passes(const kernels::PngHeader& header, PngPasses& layout) noexcept {
    uint64_t image_bytes = 0;
    if (!checked_mul(uint64_t{header.width} * 3, uint64_t{header.height}, image_bytes) ||
        image_bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return false;
    }
    if (header.interlace == 0) {
        PngPass& pass = layout.passes[0];
        pass = {header.width, header.height, {}, 0, 0, 0, 1, 1};
        layout.count = 1;
        return kernels::png_scanline_format(header.colour_type, header.bit_depth, header.width, pass.format) &&
               checked_mul(uint64_t{pass.format.row_bytes} + 1, uint64_t{header.height}, layout.inflated_size) &&
               layout.inflated_size <= SIZE_MAX;
    }
    kernels::Adam7Layout adam7;
    if (!kernels::adam7_layout(header.width, header.height, header.colour_type, header.bit_depth, adam7)) return false;
    for (int p = 0; p < kernels::adam7_pass_count; ++p) {
        const kernels::Adam7Pass& grid = kernels::adam7_passes[p];
        const kernels::Adam7PassLayout& pass = adam7.passes[p];
        layout.passes[p] = {pass.columns, pass.rows, pass.format, pass.offset, grid.x0, grid.y0, grid.dx, grid.dy};
    }
    layout.count = kernels::adam7_pass_count;
    layout.inflated_size = adam7.inflated_size;
    return true;
}

PngRows::PngRows(const kernels::PngHeader& header, const PngPasses& layout, const RgbPalette& palette,
                 bool keep) noexcept
    : layout_(layout),
      palette_(palette),
      convert_(kernels::png_row_to_rgb(header.colour_type, header.bit_depth)),
      image_row_bytes_(size_t{header.width} * 3),
      image_bytes_(uint64_t{header.width} * 3 * header.height),
      keep_(keep),
      rgb_rows_(header.bit_depth == 8 && header.colour_type == kernels::colour_rgb) {
    // Passes without scanlines are skipped from the start.
    while (pass_ < layout_.count && (layout_.passes[pass_].columns == 0 || layout_.passes[pass_].rows == 0)) ++pass_;
}

uint64_t PngRows::wanted() const noexcept {
    if (!keep_) return UINT64_MAX;
    return received_ <= layout_.inflated_size ? layout_.inflated_size - received_ + 1 : 1;
}

void PngRows::locate(uint64_t at, size_t& pass, uint64_t& row) const noexcept {
    pass = 0;
    for (size_t p = 0; p < layout_.count; ++p) {
        const PngPass& candidate = layout_.passes[p];
        if (candidate.columns != 0 && candidate.rows != 0 && candidate.offset <= at) pass = p;
    }
    const PngPass& found = layout_.passes[pass];
    row = std::min((at - found.offset) / (found.format.row_bytes + 1), found.rows - 1);
}

bool PngRows::prepare() {
    size_t widest = 0, widest_rgb = 0;
    for (size_t p = 0; p < layout_.count; ++p) {
        widest = std::max(widest, layout_.passes[p].format.row_bytes);
        if (layout_.passes[p].dx > 1) widest_rgb = std::max(widest_rgb, static_cast<size_t>(layout_.passes[p].columns));
    }
    carry_ = raw_bytes(widest + 1);
    if (carry_) previous_ = raw_bytes(widest);
    if (previous_) current_ = raw_bytes(widest);
    if (current_) pass_rgb_ = raw_bytes(widest_rgb * 3);
    if (!pass_rgb_ || !pixels_.allocate(static_cast<Py_ssize_t>(image_bytes_))) return false;
    prepared_ = true;
    return true;
}

bool PngRows::take(std::span<const uint8_t> output) {
    received_ += output.size();
    if (!keep_) return true;
    if (!prepared_ && !output.empty() && !prepare()) return false;
    while (!output.empty() && pass_ < layout_.count) {
        const size_t line_size = layout_.passes[pass_].format.row_bytes + 1;
        std::span<const uint8_t> line;
        if (carried_ == 0 && output.size() >= line_size) {
            line = output.first(line_size);
            output = output.subspan(line_size);
        } else {
            const size_t count = std::min(line_size - carried_, output.size());
            std::memcpy(carry_.get() + carried_, output.data(), count);
            carried_ += count;
            output = output.subspan(count);
            if (carried_ < line_size) break;
            line = {carry_.get(), line_size};
            carried_ = 0;
        }
        if (!rebuild(line)) return false;
        next_row();
    }
    // Bytes past the last row stop the inflating; the caller reports them.
    return received_ <= layout_.inflated_size;
}

bool PngRows::rebuild(std::span<const uint8_t> line) {
    const int filter_type = line[0];
    if (filter_type > png::filter_paeth) {
        bad_filter_ = filter_type;
        return false;
    }
    const PngPass& pass = layout_.passes[pass_];
    const std::span<const uint8_t> scanline = line.subspan(1);
    const size_t row_bytes = pass.format.row_bytes;
    const uint64_t y = pass.y0 + row_ * pass.dy;
    const std::span<uint8_t> image_row{pixels_.data() + y * image_row_bytes_, image_row_bytes_};
    if (rgb_rows_ && pass.dx == 1) {
        std::span<const uint8_t> above;
        if (row_ != 0) above = {image_row.data() - pass.dy * image_row_bytes_, row_bytes};
        unfilter(filter_type, scanline, above, pass.format.filter_distance, image_row);
        return true;
    }
    const std::span<const uint8_t> above = row_ != 0 ? std::span<const uint8_t>{previous_.get(), row_bytes}
                                                     : std::span<const uint8_t>{};
    const std::span<uint8_t> rebuilt{current_.get(), row_bytes};
    unfilter(filter_type, scanline, above, pass.format.filter_distance, rebuilt);
    const size_t rgb_bytes = static_cast<size_t>(pass.columns) * 3;
    if (pass.dx == 1) {
        convert_(rebuilt, image_row.first(rgb_bytes), palette_);
    } else {
        const std::span<uint8_t> pass_rgb{pass_rgb_.get(), rgb_bytes};
        convert_(rebuilt, pass_rgb, palette_);
        kernels::adam7_scatter_rgb(pass_rgb, image_row, pass.x0, pass.dx);
    }
    std::swap(previous_, current_);
    return true;
}

void PngRows::next_row() noexcept {
    if (++row_ < layout_.passes[pass_].rows) return;
    row_ = 0;
    do {
        ++pass_;
    } while (pass_ < layout_.count && (layout_.passes[pass_].columns == 0 || layout_.passes[pass_].rows == 0));
}

}  // namespace tessarin::reader
