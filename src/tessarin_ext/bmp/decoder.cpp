// The BMP decoder: 24-bit uncompressed files with a 40-byte information
// header, bottom-up or top-down, to an RGB buffer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/args.hpp"
#include "common/checked.hpp"
#include "common/errors.hpp"
#include "common/pixel_buffer.hpp"
#include "kernels/bmp_pixel_rows.hpp"
#include "kernels/bmp_row_stride.hpp"
#include "kernels/open_subset.hpp"
#include "tessarin_ext/bmp/bmp.hpp"
#include "tessarin_ext/bmp/literals.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::bmp {

namespace {

constexpr TracebackSite load_bmp_site{"_loadBmp"};


// header[:2], with the message a failed slice gets for objects that cannot
// be sliced at all.
Ref first_two(PyObject* header) {
    if (!PyType_GetSlot(Py_TYPE(header), Py_mp_subscript)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(header)->tp_name);
        return {};
    }
    return Ref::steal(PyObject_GetItem(header, state.constants.slice_to_2));
}

// The pixel-data offset from the 14-byte file header.
Ref read_file_header(PyObject* stream) {
    Ref header = host::call_method(stream, state.names.read, state.constants.fourteen);
    if (!header) return {};
    const Py_ssize_t length = PyObject_Length(header.get());
    if (length < 0) return {};
    if (length != 14) return raise_value_error(kernels::bmp_open_bad_file_header), Ref{};
    Ref signature = first_two(header.get());
    if (!signature) return {};
    const int wrong = PyObject_RichCompareBool(signature.get(), state.constants.bmp_signature, Py_NE);
    if (wrong < 0) return {};
    if (wrong) return raise_value_error(kernels::bmp_open_bad_file_header), Ref{};
    Ref fields_bytes = Ref::steal(PyObject_GetItem(header.get(), state.constants.slice_2_to_14));
    if (!fields_bytes) return {};
    Ref fields = host::struct_unpack(literals.fmt_file, fields_bytes.get());
    if (!fields) return {};
    Ref values[4];
    if (unpack_exact(fields.get(), 4, values) < 0) return {};
    return std::move(values[3]);
}

// Whether a header field, as unpacked, differs from the value the decoder
// requires: 1 yes, 0 no, -1 with the comparison's error.
int differs(PyObject* field, const kernels::BmpOpenRequirement& requirement) {
    Ref required = Ref::steal(PyLong_FromUnsignedLong(requirement.value));
    if (!required) return -1;
    return PyObject_RichCompareBool(field, required.get(), Py_NE);
}

struct InfoHeader {
    Ref width, height;
};

int read_info_header(PyObject* stream, InfoHeader& info) {
    Ref size_bytes = host::call_method(stream, state.names.read, state.constants.four);
    if (!size_bytes) return -1;
    const Py_ssize_t length = PyObject_Length(size_bytes.get());
    if (length < 0) return -1;
    if (length != 4) return raise_value_error(kernels::bmp_open_short_header_size);
    Ref size_fields = host::struct_unpack(literals.fmt_u32_le, size_bytes.get());
    if (!size_fields) return -1;
    Ref header_size = Ref::steal(PySequence_GetItem(size_fields.get(), 0));
    if (!header_size) return -1;
    int wrong = differs(header_size.get(), kernels::bmp_open_header_size);
    if (wrong) return wrong < 0 ? -1 : raise_value_error(kernels::bmp_open_header_size.refusal);

    Ref rest = host::call_method(stream, state.names.read, state.constants.thirty_six);
    if (!rest) return -1;
    Ref fields = host::struct_unpack(literals.fmt_info_read, rest.get());
    if (!fields) return -1;
    Ref values[10];
    if (unpack_exact(fields.get(), 10, values) < 0) return -1;
    // Planes, bits per pixel, compression.
    for (size_t i = 0; i < 3; ++i) {
        wrong = differs(values[2 + i].get(), kernels::bmp_open_format[i]);
        if (wrong) return wrong < 0 ? -1 : raise_value_error(kernels::bmp_open_format[i].refusal);
    }
    info.width = std::move(values[0]);
    info.height = std::move(values[1]);
    return 0;
}

// The size of the pixel buffer of width * rows * 3 bytes, in `size`. Sizes
// the host's bytearray() refuses get its own error; false then.
bool pixel_buffer_size(int64_t width, int64_t rows, Py_ssize_t& size) {
    int64_t count = 0, bytes = 0;
    if (!checked_mul(width, rows, count) || !checked_mul(count, int64_t{3}, bytes) || bytes < 0 ||
        bytes > PY_SSIZE_T_MAX) {
        Ref exact = Ref::steal(PyLong_FromLongLong(width));
        Ref rows_value = Ref::steal(PyLong_FromLongLong(rows));
        if (!exact || !rows_value) return false;
        exact = Ref::steal(PyNumber_Multiply(exact.get(), rows_value.get()));
        if (exact) exact = Ref::steal(PyNumber_Multiply(exact.get(), state.constants.three));
        // Negative, or past any index: the host's bytearray() raises.
        if (exact) host::bytearray(exact.get());
        return false;
    }
    size = static_cast<Py_ssize_t>(bytes);
    return true;
}

// Whether reading zero bytes from `stream` is known to do nothing: the
// host's own in-memory stream and binary file types.
bool empty_reads_are_inert(PyObject* stream) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(stream));
    return type == state.host_bytesio_type || type == state.host_file_type;
}

int read_rows(PyObject* stream, int64_t width, int64_t rows, bool bottom_up, uint8_t* pixels) {
    const int64_t row_stride = row_stride_of(width, bits_per_pixel);
    if (row_stride == 0 && empty_reads_are_inert(stream)) return 0;
    Ref stride_value = Ref::steal(PyLong_FromLongLong(row_stride));
    if (!stride_value) return -1;
    for (int64_t i = 0; i < rows; ++i) {
        Ref row = host::call_method(stream, state.names.read, stride_value.get());
        if (!row) return -1;
        if (row.get() != Py_None && !PyBytes_CheckExact(row.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(row.get())->tp_name);
            return -1;
        }
        const Py_ssize_t length = PyObject_Length(row.get());
        if (length < 0) return -1;
        if (length != row_stride) return raise_value_error(kernels::bmp_open_short_row);
        const int64_t destination = bottom_up ? rows - 1 - i : i;
        int64_t start = 0;
        if (!checked_mul(destination * width, int64_t{3}, start) || start > INT32_MAX || start < INT32_MIN) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return -1;
        }
        uint8_t* out = pixels + start;
        const size_t row_bytes = static_cast<size_t>(width) * 3;
        bgr_to_rgb_row({reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(row.get())), row_bytes},
                       {out, row_bytes}, static_cast<size_t>(width));
    }
    return 0;
}

// The rows of a stream only the module sees, with one readinto straight
// into the pixel buffer (allocated at the stored rows' size) and then laid
// out in place. The caller has made sure that no row start leaves the signed
// 32-bit range, so the only failure left is a short read, which a read row
// by row reports as the same error.
int read_all_rows(PyObject* stream, int64_t width, int64_t rows, bool bottom_up, PyObject* pixels) {
    Ref count = host::call_method(stream, state.names.readinto, pixels);
    if (!count) return -1;
    const Py_ssize_t got = PyLong_AsSsize_t(count.get());
    if (got == -1 && PyErr_Occurred()) return -1;
    if (got != PyByteArray_GET_SIZE(pixels)) return raise_value_error(kernels::bmp_open_short_row);
    const auto columns = static_cast<size_t>(width);
    const auto row_stride = static_cast<size_t>(row_stride_of(width, bits_per_pixel));
    stored_rows_to_rgb_in_place({reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels)), static_cast<size_t>(got)},
                                columns, static_cast<size_t>(rows), row_stride, bottom_up);
    return PyByteArray_Resize(pixels, static_cast<Py_ssize_t>(columns * 3 * static_cast<size_t>(rows)));
}

// Whether the rows can be read at once: from a stream only the module sees,
// when there is something to read and no row start leaves the signed 32-bit
// range (that error comes after a row's read, which is left to read_rows).
// Not where the host zeroes a bytearray as it makes it: there a header's
// claim would cost its memory before any row arrived.
bool reads_all_rows_at_once(host::StreamOrigin origin, int64_t width, int64_t rows) {
    int64_t last_start = 0;
    return !host::zeroes_bytearrays && origin == host::StreamOrigin::module && width > 0 && rows > 0 &&
           checked_mul(rows - 1, width * 3, last_start) && last_start <= INT32_MAX;
}

// A dimension as a 64-bit integer; the fields are 32-bit by their format.
int to_int64(PyObject* value, int64_t* out) {
    *out = PyLong_AsLongLong(value);
    return *out == -1 && PyErr_Occurred() ? -1 : 0;
}

Ref load(PyObject* stream, host::StreamOrigin origin) {
    Ref offset = read_file_header(stream);
    if (!offset) return {};
    InfoHeader info;
    if (read_info_header(stream, info) < 0) return {};
    int64_t width, height;
    if (to_int64(info.width.get(), &width) < 0 || to_int64(info.height.get(), &height) < 0) return {};
    const int64_t rows = height < 0 ? -height : height;
    Py_ssize_t size = 0;
    if (!pixel_buffer_size(width, rows, size)) return {};
    Ref buffer;
    if (reads_all_rows_at_once(origin, width, rows)) {
        // Room for the rows as stored, cut down to the pixels once laid out.
        const int64_t stored = rows * row_stride_of(width, bits_per_pixel);
        if (stored > PY_SSIZE_T_MAX) return PyErr_NoMemory(), Ref{};
        buffer = advised_bytearray(std::max(size, static_cast<Py_ssize_t>(stored)));
        if (!buffer) return {};
        if (!host::call_method(stream, state.names.seek, offset.get())) return {};
        if (read_all_rows(stream, width, rows, height > 0, buffer.get()) < 0) return {};
    } else {
        PixelBuffer pixels;
        if (!pixels.allocate(size)) return {};
        if (!host::call_method(stream, state.names.seek, offset.get())) return {};
        if (read_rows(stream, width, rows, height > 0, pixels.data()) < 0) return {};
        buffer = pixels.finish();
        if (!buffer) return {};
    }
    return Ref::steal(Py_BuildValue("(OLO)", info.width.get(), static_cast<long long>(rows), buffer.get()));
}

}  // namespace

Ref load_bmp(PyObject* stream, host::StreamOrigin origin) {
    Ref result = load(stream, origin);
    if (!result) add_traceback(load_bmp_site);
    return result;
}

}  // namespace tessarin::bmp
