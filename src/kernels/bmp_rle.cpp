#include "kernels/bmp_rle.hpp"

#include <algorithm>
#include <cstring>

namespace tessarin::bmp {
namespace {

// The canvas written in stored order, pixel after pixel, rows one after
// another as the file stores them.
class StoredOrderWriter {
public:
    explicit StoredOrderWriter(const BmpRleCanvas& canvas) noexcept
        : canvas_(canvas), left_(canvas.width * canvas.height) {}

    size_t left() const noexcept { return left_; }
    size_t column() const noexcept { return column_; }
    size_t width() const noexcept { return canvas_.width; }
    uint32_t image_row() const noexcept {
        return static_cast<uint32_t>(canvas_.bottom_up ? canvas_.height - 1 - stored_row_ : stored_row_);
    }

    // Writes the next `count` pixels (at most left()), the i-th of them
    // index_of(i), going on into the next rows.
    template <class IndexOf>
    void put(size_t count, IndexOf index_of) noexcept {
        for (size_t done = 0; done < count;) {
            const size_t run = std::min(count - done, canvas_.width - column_);
            uint8_t* out = row_start() + column_;
            for (size_t i = 0; i < run; ++i) out[i] = index_of(done + i);
            advance(run);
            done += run;
        }
    }

    void fill(size_t count, uint8_t index) noexcept {
        for (size_t done = 0; done < count;) {
            const size_t run = std::min(count - done, canvas_.width - column_);
            std::memset(row_start() + column_, index, run);
            advance(run);
            done += run;
        }
    }

private:
    uint8_t* row_start() const noexcept { return canvas_.indices.data() + size_t{image_row()} * canvas_.row_stride; }

    void advance(size_t count) noexcept {
        left_ -= count;
        column_ += count;
        if (column_ == canvas_.width) {
            column_ = 0;
            ++stored_row_;
        }
    }

    const BmpRleCanvas& canvas_;
    size_t left_;
    size_t column_ = 0, stored_row_ = 0;
};

class RleDecoder {
public:
    RleDecoder(std::span<const uint8_t> data, bool four_bit, const BmpRleCanvas& canvas) noexcept
        : data_(data), four_bit_(four_bit), out_(canvas) {}

    BmpRleResult decode() noexcept;

private:
    // An absolute run or delta past the row's end, kept as Pillow keeps it,
    // and noted.
    void note_overflow() noexcept {
        if (result_.overflow_row == bmp_no_row) result_.overflow_row = out_.image_row();
    }
    void encoded_run(size_t count, uint8_t value) noexcept;
    bool absolute_run(size_t count) noexcept;
    bool delta() noexcept;

    std::span<const uint8_t> data_;
    bool four_bit_;
    StoredOrderWriter out_;
    BmpRleResult result_;
    size_t at_ = 0;
    // Pillow's column count: advanced by encoded runs as cut, and by
    // absolute runs in full, so that after one that went on into the next
    // row, encoded runs write nothing until the next end of line or delta.
    size_t x_ = 0;
};

BmpRleResult RleDecoder::decode() noexcept {
    while (out_.left() > 0) {
        if (data_.size() - at_ < 2) break;
        const uint8_t count = data_[at_], value = data_[at_ + 1];
        at_ += 2;
        if (count != 0) {
            encoded_run(count, value);
        } else if (value == 0) {
            // End of line: the rest of the row, if the row is begun.
            if (out_.column() != 0) out_.fill(out_.width() - out_.column(), 0);
            x_ = 0;
        } else if (value == 1) {
            out_.fill(out_.left(), 0);
        } else if (value == 2) {
            if (!delta()) break;
        } else if (!absolute_run(value)) {
            break;
        }
    }
    if (out_.left() > 0) {
        result_.status = BmpStatus::rle_data_ended;
        result_.row = out_.image_row();
        out_.fill(out_.left(), 0);
    }
    return result_;
}

void RleDecoder::encoded_run(size_t count, uint8_t value) noexcept {
    if (x_ + count > out_.width()) {
        if (result_.cut_run_row == bmp_no_row) result_.cut_run_row = out_.image_row();
        count = x_ < out_.width() ? out_.width() - x_ : 0;
    }
    if (four_bit_) {
        const uint8_t pair[2] = {static_cast<uint8_t>(value >> 4), static_cast<uint8_t>(value & 0x0F)};
        out_.put(count, [&](size_t i) { return pair[i % 2]; });
    } else {
        out_.fill(count, value);
    }
    x_ += count;
}

// Absolute run of `count` pixels; false where the data ends within it.
bool RleDecoder::absolute_run(size_t count) noexcept {
    const size_t pixels = std::min(count, out_.left());
    const size_t wanted = four_bit_ ? (pixels + 1) / 2 : pixels;
    const size_t got = std::min(wanted, data_.size() - at_);
    const uint8_t* bytes = data_.data() + at_;
    if (x_ + count > out_.width()) note_overflow();
    if (four_bit_) {
        out_.put(std::min(pixels, 2 * got), [&](size_t i) {
            return static_cast<uint8_t>(i % 2 == 0 ? bytes[i / 2] >> 4 : bytes[i / 2] & 0x0F);
        });
    } else {
        out_.put(got, [&](size_t i) { return bytes[i]; });
    }
    at_ += got;
    if (got < wanted || out_.left() == 0) return false;
    x_ += count;
    // Each absolute run's bytes end on a 2-byte boundary of the data.
    at_ = std::min(at_ + at_ % 2, data_.size());
    return true;
}

// Delta: skips `right` pixels and `up` stored rows as index 0, counted from
// here in stored order; false where the data ends within it.
bool RleDecoder::delta() noexcept {
    if (data_.size() - at_ < 2) return false;
    const size_t right = data_[at_], up = data_[at_ + 1];
    at_ += 2;
    const size_t skip = right + up * out_.width();
    if (out_.column() + right > out_.width() || skip > out_.left()) note_overflow();
    out_.fill(std::min(skip, out_.left()), 0);
    x_ = out_.column();
    return true;
}

}  // namespace

BmpRleResult decode_bmp_rle(std::span<const uint8_t> data, bool four_bit, const BmpRleCanvas& canvas) noexcept {
    return RleDecoder(data, four_bit, canvas).decode();
}

}  // namespace tessarin::bmp
