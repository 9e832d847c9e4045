// _readChunk and _makeChunk: one PNG chunk from a stream, one chunk built.
#include <cstring>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernels/open_subset.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/png/chunk.hpp"
#include "tessarin_ext/png/png.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::png {

namespace {

// stream.read(count) and whether its length is `count`: 1 yes, 0 no, -1 error.
int read_exactly(PyObject* stream, PyObject* count, host::StreamOrigin origin, Ref& out) {
    out = host::read(stream, count, origin);
    if (!out) return -1;
    const Py_ssize_t length = PyObject_Length(out.get());
    if (length < 0) return -1;
    Ref expected_length = Ref::steal(PyLong_FromSsize_t(length));
    if (!expected_length) return -1;
    const int differs = PyObject_RichCompareBool(expected_length.get(), count, Py_NE);
    return differs < 0 ? -1 : !differs;
}

// struct.unpack(">I", data)[0]
Ref unpack_u32(PyObject* data) {
    Ref values = host::struct_unpack(state.constants.fmt_u32_be, data);
    if (!values) return {};
    return Ref::steal(PySequence_GetItem(values.get(), 0));
}

// zlib.crc32(chunkType), continued over data, masked to 32 bits.
Ref chunk_crc(PyObject* chunk_type, PyObject* data) {
    Ref partial = host::zlib(state.names.crc32, chunk_type);
    if (!partial) return {};
    Ref full = host::zlib(state.names.crc32, data, partial.get());
    if (!full) return {};
    return Ref::steal(PyNumber_And(full.get(), state.constants.crc_mask));
}

PyObject* read_chunk_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* stream;
    if (bind(read_chunk_def, args, nargs, kwnames, &stream) < 0) return nullptr;
    return read_chunk(stream, host::StreamOrigin::caller).release();
}

// a + b + c + d for the four parts of a chunk; one allocation when all are
// exact bytes, the host's concatenation otherwise.
PyObject* concatenate(PyObject* const (&parts)[4]) {
    Py_ssize_t total = 0;
    bool all_bytes = true;
    for (PyObject* part : parts) {
        all_bytes = all_bytes && PyBytes_CheckExact(part);
        if (all_bytes) total += PyBytes_GET_SIZE(part);
    }
    if (!all_bytes) {
        Ref sum = Ref::borrow(parts[0]);
        for (int i = 1; i < 4 && sum; ++i) sum = Ref::steal(PyNumber_Add(sum.get(), parts[i]));
        return sum.release();
    }
    PyObject* result = PyBytes_FromStringAndSize(nullptr, total);
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result);
    for (PyObject* part : parts) {
        std::memcpy(out, PyBytes_AS_STRING(part), static_cast<size_t>(PyBytes_GET_SIZE(part)));
        out += PyBytes_GET_SIZE(part);
    }
    return result;
}

PyObject* make_chunk_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind(make_chunk_def, args, nargs, kwnames, bound) < 0) return nullptr;
    return make_chunk(bound[0], bound[1]).release();
}

}  // namespace

Ref read_chunk(PyObject* stream, host::StreamOrigin origin) {
    PyObject* const four = state.constants.four;
    Ref length_bytes = host::call_method(stream, state.names.read, four);
    if (!length_bytes) return {};
    const Py_ssize_t got = PyObject_Length(length_bytes.get());
    if (got < 0) return {};
    if (got == 0) return Ref::borrow(state.constants.end_of_stream);
    if (got != 4) return raise_value_error(kernels::png_open_eof_in_length), Ref{};
    Ref length = unpack_u32(length_bytes.get());
    if (!length) return {};
    Ref chunk_type, data, crc;
    int complete = read_exactly(stream, four, origin, chunk_type);
    if (complete == 0) raise_value_error(kernels::png_open_eof_in_type);
    if (complete <= 0) return {};
    complete = read_exactly(stream, length.get(), origin, data);
    if (complete == 0) raise_value_error(kernels::png_open_eof_in_data);
    if (complete <= 0) return {};
    complete = read_exactly(stream, four, origin, crc);
    if (complete == 0) raise_value_error(kernels::png_open_eof_in_crc);
    if (complete <= 0) return {};
    Ref expected_crc = chunk_crc(chunk_type.get(), data.get());
    if (!expected_crc) return {};
    Ref actual_crc = unpack_u32(crc.get());
    if (!actual_crc) return {};
    const int corrupted = PyObject_RichCompareBool(actual_crc.get(), expected_crc.get(), Py_NE);
    if (corrupted < 0) return {};
    if (corrupted) return raise_value_error("Corrupted PNG chunk detected"), Ref{};
    return Ref::steal(PyTuple_Pack(2, chunk_type.get(), data.get()));
}

Ref make_chunk(PyObject* chunk_type, PyObject* data) {
    const Py_ssize_t data_length = PyObject_Length(data);
    if (data_length < 0) return {};
    Ref length_value = Ref::steal(PyLong_FromSsize_t(data_length));
    if (!length_value) return {};
    Ref length = host::struct_pack(state.constants.fmt_u32_be, length_value.get());
    if (!length) return {};
    Ref crc_value = chunk_crc(chunk_type, data);
    if (!crc_value) return {};
    Ref crc = host::struct_pack(state.constants.fmt_u32_be, crc_value.get());
    if (!crc) return {};
    PyObject* const parts[4] = {length.get(), chunk_type, data, crc.get()};
    return Ref::steal(concatenate(parts));
}

constexpr EntryPoint read_chunk_def{
    .name = "_readChunk",
    .site = {"_readChunk"},
    .count = 1,
    .params = {{"stream"}},
    .return_annotation = "Tuple[bytes, bytes]",
    .impl = read_chunk_impl,
};
constexpr EntryPoint make_chunk_def{
    .name = "_makeChunk",
    .site = {"_makeChunk"},
    .count = 2,
    .params = {{"chunkType", "bytes", &PyBytes_Type}, {"data", "bytes", &PyBytes_Type}},
    .return_annotation = "bytes",
    .impl = make_chunk_impl,
};

}  // namespace tessarin::png
