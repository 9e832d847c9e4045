#include "reader/inflate.hpp"

#include <algorithm>

namespace tessarin::reader {
namespace {

// Each call's output is bounded by the host's first three output blocks (32,
// 64 and 256 KiB): a larger bound lets it allocate a block of 1 MiB and join
// them all into one more buffer. Small pieces are reconstructed while still
// in the cache.
constexpr uint64_t output_bound = (32 + 64 + 256) * 1024;
// Input goes in pieces sized from the compression ratio seen so far, so
// that each inflates to about one bounded output: a piece that inflates to
// more leaves its rest in unconsumed_tail, which the host copies each call.
constexpr Py_ssize_t first_input_piece = Py_ssize_t{32} * 1024;
constexpr Py_ssize_t smallest_input_piece = Py_ssize_t{4} * 1024;
constexpr Py_ssize_t largest_input_piece = Py_ssize_t{128} * 1024;

}  // namespace

int Inflater::start() {
    inflater_ = Ref::steal(PyObject_CallObject(state_.decompressobj, nullptr));
    return inflater_ ? 0 : -1;
}

int Inflater::feed(std::span<const uint8_t> input, InflateSink& sink) {
    for (size_t offset = 0; offset < input.size() && !done_;) {
        const auto piece_size = std::min(static_cast<size_t>(next_piece_size()), input.size() - offset);
        Ref piece = memory_view(input.subspan(offset, piece_size));
        if (!piece || inflate(piece.get(), sink) < 0) return -1;
        // Output cut off at its bound leaves input in unconsumed_tail, or
        // output pending inside the inflater: both are drained.
        while (!done_ && !sink_stopped_ && output_was_cut_) {
            Ref tail = Ref::steal(PyObject_GetAttr(inflater_.get(), state_.tail_name));
            if (!tail || inflate(tail.get(), sink) < 0) return -1;
        }
        if (sink_stopped_) return 1;
        offset += piece_size;
        consumed_ += piece_size;
    }
    return 0;
}

Py_ssize_t Inflater::next_piece_size() const noexcept {
    if (consumed_ == 0 || produced_ == 0) return first_input_piece;
    const double expansion = static_cast<double>(produced_) / static_cast<double>(consumed_);
    const double wanted = static_cast<double>(output_bound) / expansion;
    return static_cast<Py_ssize_t>(
        std::clamp(wanted, static_cast<double>(smallest_input_piece), static_cast<double>(largest_input_piece)));
}

int Inflater::inflate(PyObject* input, InflateSink& sink) {
    const uint64_t wanted = std::min(output_bound, sink.wanted());
    Ref max_length = Ref::steal(PyLong_FromUnsignedLongLong(wanted));
    if (!max_length) return -1;
    PyObject* arguments[] = {inflater_.get(), input, max_length.get()};
    Ref output = Ref::steal(
        PyObject_VectorcallMethod(state_.decompress_name, arguments, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!output) return -1;
    const auto produced = static_cast<uint64_t>(PyBytes_GET_SIZE(output.get()));
    produced_ += produced;
    output_was_cut_ = produced == wanted;
    sink_stopped_ = !sink.take({reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(output.get())),
                                static_cast<size_t>(produced)});
    if (sink_stopped_ && PyErr_Occurred()) return -1;
    Ref at_end = Ref::steal(PyObject_GetAttr(inflater_.get(), state_.eof_name));
    if (!at_end) return -1;
    done_ = at_end.get() == Py_True;
    // Each piece takes a fraction of a millisecond, so an interrupt is
    // answered promptly.
    return check_signals(state_);
}

}  // namespace tessarin::reader
