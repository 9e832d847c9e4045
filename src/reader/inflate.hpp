// Inflating a zlib stream held in memory with the host's zlib, in bounded
// pieces, so that what is held follows the data rather than a header's
// claim, and pending signals are handled between pieces.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "common/ref.hpp"
#include "reader/reader.hpp"

namespace tessarin::reader {

// Where inflated bytes go.
class InflateSink {
public:
    // How many bytes the next piece may hold at most: what the sink still
    // expects and one more, to notice data past its end.
    virtual uint64_t wanted() const noexcept = 0;
    // Takes the next inflated bytes; false stops the inflating, the sink
    // holding why.
    virtual bool take(std::span<const uint8_t> output) = 0;

protected:
    ~InflateSink() = default;
};

class Inflater {
public:
    explicit Inflater(const ReaderState& state) noexcept : state_(state) {}

    // A new zlib.decompressobj(); -1 with its error.
    int start();

    // Inflates the next part of the stream into `sink` until the part is
    // used up or the stream ends: 0; 1 when the sink stopped it; -1 with an
    // error, zlib.error for invalid data.
    int feed(std::span<const uint8_t> input, InflateSink& sink);

    // Whether the stream has ended.
    bool done() const noexcept { return done_; }

private:
    Py_ssize_t next_piece_size() const noexcept;
    int inflate(PyObject* input, InflateSink& sink);

    const ReaderState& state_;
    Ref inflater_;
    bool done_ = false, output_was_cut_ = false, sink_stopped_ = false;
    // Input taken and output given so far.
    uint64_t consumed_ = 0, produced_ = 0;
};

}  // namespace tessarin::reader
