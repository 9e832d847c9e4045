#include "kernels/png_structure.hpp"

#include "kernels/png_unpack.hpp"

namespace tessarin::kernels {
namespace {

uint32_t u32_be(const uint8_t* bytes) noexcept {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

bool is_letter(uint8_t byte) noexcept { return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'); }

constexpr uint32_t max_dimension = 0x7fffffff;
constexpr uint32_t max_palette_bytes = 256 * 3;

}  // namespace

PngHeader read_png_header(std::span<const uint8_t, 13> data) noexcept {
    return {u32_be(&data[0]), u32_be(&data[4]), data[8], data[9], data[10], data[11], data[12]};
}

PngHeaderStatus check_png_header(const PngHeader& header) noexcept {
    if (header.width == 0) return PngHeaderStatus::width_zero;
    if (header.width > max_dimension) return PngHeaderStatus::width_too_large;
    if (header.height == 0) return PngHeaderStatus::height_zero;
    if (header.height > max_dimension) return PngHeaderStatus::height_too_large;
    const int colour = header.colour_type;
    if (colour != png::color_grey && colour != png::color_rgb && colour != png::color_palette &&
        colour != png::color_grey_alpha && colour != png::color_rgba) {
        return PngHeaderStatus::bad_colour_type;
    }
    if (png_bits_per_pixel(colour, header.bit_depth) == 0) return PngHeaderStatus::bad_bit_depth;
    if (header.compression != 0) return PngHeaderStatus::bad_compression;
    if (header.filter != 0) return PngHeaderStatus::bad_filter;
    if (header.interlace > 1) return PngHeaderStatus::bad_interlace;
    return PngHeaderStatus::ok;
}

PngChunkStatus PngChunkRules::next(const PngChunk& chunk) noexcept {
    const PngChunkStatus status = judge(chunk);
    return status != PngChunkStatus::ok && apple_cgbi_ ? PngChunkStatus::apple_cgbi : status;
}

PngChunkStatus PngChunkRules::judge(const PngChunk& chunk) noexcept {
    role_ = PngChunkRole::skipped;
    for (const uint8_t byte : chunk.type) {
        if (!is_letter(byte)) return PngChunkStatus::type_not_letters;
    }
    if (png_chunk_type_is(chunk, "CgBI")) {
        if (!apple_cgbi_) apple_cgbi_offset_ = chunk.offset;
        apple_cgbi_ = true;
        return PngChunkStatus::ok;
    }
    if (!has_header_) {
        if (!png_chunk_type_is(chunk, "IHDR")) return PngChunkStatus::ihdr_not_first;
        if (chunk.length != 13) return PngChunkStatus::ihdr_length;
        header_ = read_png_header(chunk.data.first<13>());
        has_header_ = true;
        role_ = PngChunkRole::header;
        return PngChunkStatus::ok;
    }
    const bool is_data = png_chunk_type_is(chunk, "IDAT");
    if (data_state_ == DataState::inside && !is_data) data_state_ = DataState::after;
    if (is_data) {
        if (data_state_ == DataState::after) return PngChunkStatus::idat_not_consecutive;
        if (header_.colour_type == png::color_palette && palette_.empty()) return PngChunkStatus::plte_missing;
        data_state_ = DataState::inside;
        data_bytes_ += chunk.length;
        role_ = PngChunkRole::data;
    } else if (png_chunk_type_is(chunk, "PLTE")) {
        if (data_state_ != DataState::before) return PngChunkStatus::plte_after_idat;
        if (!palette_.empty()) return PngChunkStatus::plte_repeated;
        if (chunk.length == 0 || chunk.length % 3 != 0 || chunk.length > max_palette_bytes) {
            return PngChunkStatus::plte_length;
        }
        palette_ = chunk.data;
        role_ = PngChunkRole::palette;
    } else if (png_chunk_type_is(chunk, "IEND")) {
        role_ = PngChunkRole::end;
    } else if (png_chunk_type_is(chunk, "tRNS")) {
        has_transparency_ = has_transparency_ || data_state_ == DataState::before;
    } else if (png_chunk_is_critical(chunk) && !png_chunk_type_is(chunk, "IHDR")) {
        return PngChunkStatus::unknown_critical;
    }
    return PngChunkStatus::ok;
}

PngChunkStatus PngChunkRules::finish() const noexcept {
    if (apple_cgbi_) return PngChunkStatus::apple_cgbi;
    return data_state_ == DataState::before ? PngChunkStatus::no_idat : PngChunkStatus::ok;
}

}  // namespace tessarin::kernels
