// The reader's calls into the host: its error reports, the CRC, memory
// views and signals.
#include <cstdarg>

#include "common/host_compat.hpp"
#include "common/ref.hpp"
#include "reader/reader.hpp"

namespace tessarin {

namespace reader {

Ref message(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
    return text;
}

int raise_read_error(const ReaderState& state, const Ref& text) {
    if (text) PyErr_SetObject(state.error, text.get());
    return -1;
}

int check_pixel_limit(const ReaderState& state, const char* format, uint32_t width, uint32_t height,
                      uint64_t max_pixels) {
    const uint64_t pixels = uint64_t{width} * height;
    if (pixels <= max_pixels) return 0;
    return raise_read_error(state, message("%s image of %ux%u = %llu pixels is over max_pixels %llu", format, width,
                                           height, static_cast<unsigned long long>(pixels),
                                           static_cast<unsigned long long>(max_pixels)));
}

void prefix_read_error(const ReaderState& state, const char* prefix) {
    if (!PyErr_ExceptionMatches(state.error)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned[3] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    Ref text = Ref::steal(PyObject_Str(owned[1].get()));
    if (!text) return;
    raise_read_error(state, message("%s: %U", prefix, text.get()));
}

int crc_matches(const ReaderState& state, std::span<const uint8_t> bytes, uint32_t stored) {
    Ref view = memory_view(bytes);
    if (!view) return -1;
    Ref crc = Ref::steal(PyObject_CallOneArg(state.crc32, view.get()));
    if (!crc) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(crc.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    return value == stored ? 1 : 0;
}

Ref memory_view(std::span<const uint8_t> bytes) {
    // The view is read-only: the cast only meets the call's signature.
    return Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data())),
                                              static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
}

int check_signals(const ReaderState& state) { return host::check_signals(state.signal_check); }

}  // namespace reader
}  // namespace tessarin
