// The filtering PNG encoder: an image's rows, 8-bit RGB or reduced to
// greyscale or palette indices, to the bytes of a PNG file whose rows are
// filtered, compressed by the host's zlib with the
// settings of the best of a few candidates.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/ref.hpp"
#include "kernels/png_forward_filter.hpp"
#include "png_writer/workers.hpp"

namespace tessarin::png_writer {

// At most this many candidates, strips in a sample, and segments an image
// is compressed in.
inline constexpr size_t max_candidates = 16;
inline constexpr size_t max_sample_strips = 16;
inline constexpr size_t max_segments = 16;

// The host services the encoder calls, held by the module.
struct Host {
    PyObject* compressobj;    // zlib.compressobj
    PyObject* crc32;          // zlib.crc32
    PyObject* adler32;        // zlib.adler32
    PyObject* compress_name;  // "compress", interned
    PyObject* flush_name;     // "flush", interned
    PyObject* signal_check;   // what host::check_signals runs handlers with
    ThreadHost threads;
};

// How the work is shared out: the image is compressed in `segments` runs of
// rows (at most one a row, and max_segments), each a part of the one zlib
// stream that a compressor of its own makes, and these, and the sample's
// candidates, on up to `threads` threads. The file depends on the number of
// segments only.
struct Threading {
    size_t segments;
    size_t threads;
};

// One way to write an image: how its rows are filtered, the arguments of
// zlib.compressobj for the whole image, and for its sample: a
// handicap in thousandths that the sample's size is taken with (a negative
// one favours the candidate), so that a candidate that is riskier than
// another wins only by a clear margin and a much cheaper one wins near
// ties; the zlib level the sample is compressed at, lower than the
// whole image's where the sample only has to rank the candidates cheaply;
// and a margin in thousandths (0 for none) within which a sample behind
// the smallest still has the whole image compressed, for a cheap candidate
// whose whole size is worth learning when the sample cannot tell.
struct Candidate {
    png::RowFilter filter;
    int level;
    int window_bits;
    int memory_level;
    int strategy;
    int sample_handicap;
    int sample_level;
    int finalist_margin;
};

// Rows first_row up to end_row of an image.
struct Strip {
    size_t first_row;
    size_t end_row;
};

// What the file's IHDR says of its scanlines, and how they are laid out:
// 8-bit RGB, or greyscale or palette indices at 1, 2, 4 or 8 bits packed in
// bytes (with the PLTE chunk's entries, 3 bytes each); the bytes of a row,
// without its filter type; and the filters' distance to a byte's left
// neighbour (the bytes of a pixel, at least 1).
struct ScanlineFormat {
    int colour_type;
    int bit_depth;
    size_t row_bytes;
    size_t pixel_bytes;
    std::span<const uint8_t> palette;
};

// Width and height at least 1; `pixels` holds exactly height rows of
// format.row_bytes bytes each: for RGB, each pixel red, green, blue.
struct Image {
    std::span<const uint8_t> pixels;
    size_t width;
    size_t height;
    ScanlineFormat format;
};

// How the candidates fared: the index of the one written, and per candidate
// the length of its compressed sample and of its whole image data (0 where
// it did not compress them).
struct Outcome {
    size_t chosen = 0;
    size_t sample_sizes[max_candidates] = {};
    size_t full_sizes[max_candidates] = {};
};

// The complete PNG file of `image` (signature, IHDR, PLTE for a palette,
// IDAT chunks, IEND)
// with the smallest image data the candidates give. With no `sample`, every
// candidate compresses the whole image. Otherwise each first compresses the
// sample's rows alone, and the `finalists` whose samples came out smallest
// (after their handicaps) compress the whole image, and so do those
// within their finalist margin of the smallest. Ties go to the earlier
// candidate. Null, with the exception pending, when a host call fails or an
// interrupt arrives.
Ref encode_png(const Host& host, const Image& image, std::span<const Candidate> candidates,
               std::span<const Strip> sample, size_t finalists, const Threading& threading, Outcome& outcome);

}  // namespace tessarin::png_writer
