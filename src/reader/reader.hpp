// Quorvel._reader: PNG and BMP files held in memory, read into RGB pixels
// or described from their headers. What the readers share: the module's
// state and the calls they make into the host.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <span>

#include "common/ref.hpp"

namespace tessarin::reader {

// The module's state: its exception class and what it calls in the host's
// zlib, taken once at import. A decode call given another inflater reads
// with a copy whose decompressobj and zlib_error are that inflater's.
struct ReaderState {
    PyObject* error;            // Quorvel.ImageReadError
    PyObject* crc32;            // zlib.crc32
    PyObject* decompressobj;    // zlib.decompressobj
    PyObject* zlib_error;       // zlib.error, raised by decompressobj's objects for invalid data
    PyObject* decompress_name;  // "decompress"
    PyObject* eof_name;         // "eof"
    PyObject* tail_name;        // "unconsumed_tail"
    PyObject* signal_check;     // PyPy: a function whose loop runs pending signal handlers
};

inline constexpr uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

inline bool has_png_signature(std::span<const uint8_t> file) noexcept {
    return file.size() >= sizeof png_signature && std::memcmp(file.data(), png_signature, sizeof png_signature) == 0;
}

// No limit on the pixel count.
inline constexpr uint64_t no_pixel_limit = UINT64_MAX;

// What probe reports of a file: the fields of Quorvel.ImageInfo. Fields
// that do not apply to the format stay -1 (None).
struct ImageFacts {
    const char* format = nullptr;
    int64_t width = 0, height = 0;
    bool has_alpha = false;
    const char* open_refusal = nullptr;  // nullptr: SimpleImage.open takes it
    Ref reason;                          // null: load reads it
    int64_t colour_type = -1, bit_depth = -1, interlaced = -1, palette_size = -1;
    int64_t header_size = -1, bit_count = -1, compression = -1, top_down = -1;
};

// Each returns (width, height, pixels bytearray), or null with ImageReadError
// (or the host's MemoryError, or what a signal handler raised).
Ref decode_png(const ReaderState& state, std::span<const uint8_t> file, uint64_t max_pixels);
Ref decode_bmp(const ReaderState& state, std::span<const uint8_t> file, uint64_t max_pixels);

// Each fills `facts` from the headers, or returns -1 with ImageReadError
// where the headers are cut short or damaged.
int probe_png(const ReaderState& state, std::span<const uint8_t> file, ImageFacts& facts);
int probe_bmp(const ReaderState& state, std::span<const uint8_t> file, ImageFacts& facts);

// A message made as PyUnicode_FromFormat makes it; null with MemoryError.
Ref message(const char* format, ...);

// Raises ImageReadError with `text` (a str); returns -1. A null `text`
// leaves the error that making it raised.
int raise_read_error(const ReaderState& state, const Ref& text);

// Whether a `format` image of width x height is within `max_pixels`: 0, or
// -1 with ImageReadError naming both numbers.
int check_pixel_limit(const ReaderState& state, const char* format, uint32_t width, uint32_t height,
                      uint64_t max_pixels);

// Raises ImageReadError with "<prefix>: <message>", where the message is
// that of the ImageReadError pending; any other error stays as it is.
void prefix_read_error(const ReaderState& state, const char* prefix);

// Whether zlib.crc32 of `bytes` is `stored`: 1 yes, 0 no, -1 with an error.
int crc_matches(const ReaderState& state, std::span<const uint8_t> bytes, uint32_t stored);

// A read-only memoryview of `bytes`, which must outlive it.
Ref memory_view(std::span<const uint8_t> bytes);

// Runs the handlers of signals that arrived meanwhile; -1 with what a
// handler raised (KeyboardInterrupt for Ctrl-C).
int check_signals(const ReaderState& state);

}  // namespace tessarin::reader
