// The rows of a PNG image rebuilt from its inflated scanlines as they
// arrive: each scanline unfiltered, converted to RGB and put in its place,
// pass by pass for an interlaced image.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "kernels/adam7.hpp"
#include "kernels/png_structure.hpp"
#include "kernels/png_unpack.hpp"
#include "common/pixel_buffer.hpp"
#include "reader/inflate.hpp"

namespace tessarin::reader {

// The scanlines of one pass (the whole image when not interlaced), which
// hold the pixels at columns x0, x0 + dx, ... of rows y0, y0 + dy, ...
struct PngPass {
    uint64_t columns = 0, rows = 0;
    kernels::ScanlineFormat format{};
    // Where its first scanline starts in the inflated stream.
    uint64_t offset = 0;
    uint32_t x0 = 0, y0 = 0, dx = 1, dy = 1;
};

// The passes of an image: one, or the seven of Adam7 (some of them empty
// in a small image), and the size of all their scanlines.
struct PngPasses {
    PngPass passes[kernels::adam7_pass_count];
    size_t count = 0;
    uint64_t inflated_size = 0;
};

// The passes of `header`'s image; false when its scanlines or its RGB
// pixels would not fit in memory's sizes.
bool png_passes(const kernels::PngHeader& header, PngPasses& layout) noexcept;

struct RawFree {
    void operator()(uint8_t* bytes) const noexcept { PyMem_RawFree(bytes); }
};
using RawBytes = std::unique_ptr<uint8_t[], RawFree>;

class PngRows final : public InflateSink {
public:
    // With `keep` false the rows are only counted: the data cannot fill the
    // image, and nothing is allocated for it.
    PngRows(const kernels::PngHeader& header, const PngPasses& layout, const kernels::RgbPalette& palette,
            bool keep) noexcept;

    uint64_t wanted() const noexcept override;
    // False after a filter type past 4 (see bad_filter) or with MemoryError.
    bool take(std::span<const uint8_t> output) override;

    uint64_t received() const noexcept { return received_; }
    // The filter type that stopped reconstruction, or -1.
    int bad_filter() const noexcept { return bad_filter_; }
    // The pass (0 for an image not interlaced) and its row being rebuilt:
    // where a bad filter type stopped it.
    size_t pass() const noexcept { return pass_; }
    uint64_t row() const noexcept { return row_; }
    // The pass and row that a stream `at` bytes long ends in.
    void locate(uint64_t at, size_t& pass, uint64_t& row) const noexcept;

    // The pixels once every row is in.
    Ref finish() { return pixels_.finish(); }

private:
    bool prepare();
    bool rebuild(std::span<const uint8_t> scanline);
    void next_row() noexcept;

    const PngPasses& layout_;
    const kernels::RgbPalette& palette_;
    const kernels::RowToRgb convert_;
    const size_t image_row_bytes_;
    const uint64_t image_bytes_;
    const bool keep_;
    // 8-bit RGB rows are unfiltered straight into the image.
    const bool rgb_rows_;
    bool prepared_ = false;
    PixelBuffer pixels_;
    // The scanline being gathered across pieces; the row above and the one
    // being rebuilt; a pass row in RGB before it is scattered.
    RawBytes carry_, previous_, current_, pass_rgb_;
    size_t carried_ = 0;
    size_t pass_ = 0;
    uint64_t row_ = 0, received_ = 0;
    int bad_filter_ = -1;
};

}  // namespace tessarin::reader
