#include "kernels/png_reduce.hpp"

#include <algorithm>

#include "kernels/png_format.hpp"

namespace tessarin::png {
namespace {

constexpr size_t rgb_bytes = 3;

uint32_t colour_at(const uint8_t* pixel) noexcept {
    return uint32_t{pixel[0]} << 16 | uint32_t{pixel[1]} << 8 | pixel[2];
}

// A set of up to max_palette_size + 1 colours, each with an index: open
// addressing in a table about four times that size, so that probes stay
// short. A colour has 24 bits, so an all-ones key marks an empty slot.
class ColourTable {
public:
    ColourTable() noexcept { keys_.fill(empty); }

    // Adds `colour` with the next index, unless it is there already.
    void insert(uint32_t colour) noexcept {
        const size_t slot = find(colour);
        if (keys_[slot] == empty) {
            keys_[slot] = colour;
            indices_[slot] = static_cast<uint16_t>(size_++);
        }
    }
    void insert(uint32_t colour, uint16_t index) noexcept {
        const size_t slot = find(colour);
        keys_[slot] = colour;
        indices_[slot] = index;
        ++size_;
    }
    // The index of a colour the table holds.
    uint16_t index_of(uint32_t colour) const noexcept { return indices_[find(colour)]; }
    size_t size() const noexcept { return size_; }

    // The colours held, in no order.
    size_t colours(uint32_t* out) const noexcept {
        size_t count = 0;
        for (const uint32_t key : keys_) {
            if (key != empty) out[count++] = key;
        }
        return count;
    }

private:
    static constexpr uint32_t empty = 0xffffffff;
    static constexpr int slot_bits = 10;
    static_assert(size_t{1} << slot_bits >= 3 * (max_palette_size + 1));

    // The slot holding `colour`, or the empty one where it would go.
    size_t find(uint32_t colour) const noexcept {
        size_t slot = (colour * 0x9e3779b1u) >> (32 - slot_bits);
        while (keys_[slot] != empty && keys_[slot] != colour) slot = (slot + 1) & (keys_.size() - 1);
        return slot;
    }

    std::array<uint32_t, size_t{1} << slot_bits> keys_;
    std::array<uint16_t, size_t{1} << slot_bits> indices_{};
    size_t size_ = 0;
};

// Whether a grey value survives depth `bit_depth`: bit replication spreads
// a sample s of d bits to s * 255 / (2^d - 1), so the values it gives are
// the multiples of 255 / (2^d - 1) (255, 85, 17 and 1).
bool exact_at(unsigned value, int bit_depth) noexcept { return value % (255u / ((1u << bit_depth) - 1)) == 0; }

// Writes rows of samples of `bit_depth` bits, most significant first, each
// taken from a pixel by `sample`.
template <typename Sample>
void pack_rows(std::span<const uint8_t> pixels, size_t width, int bit_depth, std::span<uint8_t> out,
               Sample sample) noexcept {
    const size_t row_bytes = packed_row_bytes(width, bit_depth);
    const size_t rows = width ? pixels.size() / (rgb_bytes * width) : 0;
    const size_t per_byte = 8 / static_cast<size_t>(bit_depth);
    for (size_t y = 0; y < rows; ++y) {
        const uint8_t* pixel = pixels.data() + y * width * rgb_bytes;
        uint8_t* packed = out.data() + y * row_bytes;
        if (bit_depth == 8) {
            for (size_t x = 0; x < width; ++x, pixel += rgb_bytes) packed[x] = static_cast<uint8_t>(sample(pixel));
            continue;
        }
        for (size_t x = 0; x < width; x += per_byte) {
            const size_t count = std::min(per_byte, width - x);
            unsigned byte = 0;
            for (size_t k = 0; k < count; ++k, pixel += rgb_bytes) byte = byte << bit_depth | unsigned{sample(pixel)};
            *packed++ = static_cast<uint8_t>(byte << (static_cast<size_t>(bit_depth) * (per_byte - count)));
        }
    }
}

}  // namespace

ColourSummary summarise_colours(std::span<const uint8_t> pixels) noexcept {
    ColourSummary summary;
    const size_t count = pixels.size() / rgb_bytes;
    const uint8_t* const data = pixels.data();

    // Grey values seen, one bit each.
    uint64_t seen[4] = {};
    size_t i = 0;
    for (; i < count; ++i) {
        const uint8_t* pixel = data + i * rgb_bytes;
        if (pixel[0] != pixel[1] || pixel[1] != pixel[2]) break;
        seen[pixel[0] >> 6] |= uint64_t{1} << (pixel[0] & 63);
    }
    if (i == count) {
        summary.grey = true;
        summary.grey_depth = 1;
        for (unsigned value = 0; value < 256; ++value) {
            if (!(seen[value >> 6] >> (value & 63) & 1)) continue;
            summary.colours[summary.colour_count++] = value * 0x010101u;
            while (!exact_at(value, summary.grey_depth)) summary.grey_depth *= 2;
        }
        return summary;
    }

    // A run of one colour, common in drawings, is looked up once.
    ColourTable table;
    uint32_t last = 0xffffffff;
    for (i = 0; i < count; ++i) {
        const uint32_t colour = colour_at(data + i * rgb_bytes);
        if (colour == last) continue;
        last = colour;
        table.insert(colour);
        if (table.size() > max_palette_size) {
            summary.colour_count = table.size();
            return summary;
        }
    }
    summary.colour_count = table.colours(summary.colours.data());
    std::sort(summary.colours.begin(), summary.colours.begin() + static_cast<std::ptrdiff_t>(summary.colour_count));
    return summary;
}

int palette_depth(size_t count) noexcept {
    if (count <= 2) return 1;
    if (count <= 4) return 2;
    if (count <= 16) return 4;
    return 8;
}

ReducedFormat reduced_format(const ColourSummary& summary) noexcept {
    if (summary.colour_count > max_palette_size) return {color_rgb, bit_depth_8};
    const int indices = palette_depth(summary.colour_count);
    if (summary.grey && summary.grey_depth <= indices) return {color_grey, summary.grey_depth};
    return {color_palette, indices};
}

void pack_grey_rows(std::span<const uint8_t> pixels, size_t width, int bit_depth, std::span<uint8_t> out) noexcept {
    const unsigned shift = 8 - static_cast<unsigned>(bit_depth);
    pack_rows(pixels, width, bit_depth, out, [shift](const uint8_t* pixel) { return unsigned{pixel[0]} >> shift; });
}

void pack_palette_rows(std::span<const uint8_t> pixels, size_t width, int bit_depth,
                       std::span<const uint32_t> palette, std::span<uint8_t> out) noexcept {
    ColourTable table;
    for (size_t index = 0; index < palette.size(); ++index) table.insert(palette[index], static_cast<uint16_t>(index));
    uint32_t last = 0xffffffff;
    unsigned last_index = 0;
    pack_rows(pixels, width, bit_depth, out, [&](const uint8_t* pixel) {
        const uint32_t colour = colour_at(pixel);
        if (colour != last) {
            last = colour;
            last_index = table.index_of(colour);
        }
        return last_index;
    });
}

bool indices_below(std::span<const uint8_t> rows, size_t width, int bit_depth, size_t entries) noexcept {
    const auto depth = static_cast<size_t>(bit_depth);
    if (entries >= size_t{1} << depth) return true;
    const size_t row_bytes = packed_row_bytes(width, bit_depth);
    const unsigned mask = (1u << depth) - 1;
    for (size_t start = 0; start + row_bytes <= rows.size() && row_bytes; start += row_bytes) {
        for (size_t x = 0; x < width; ++x) {
            const size_t bit = x * depth;
            const unsigned index = unsigned{rows[start + bit / 8]} >> (8 - depth - bit % 8) & mask;
            if (index >= entries) return false;
        }
    }
    return true;
}

}  // namespace tessarin::png
