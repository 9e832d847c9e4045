// The reader's calls into the host: its error reports, the CRC, memory
// views, signals and the pixel buffer's bytearray.
#include <cstdarg>

#include "module/host.hpp"
#include "module/ref.hpp"
#include "reader/reader.hpp"

namespace tessarin {

namespace host {

// The specified module's host helpers need its process state; until the
// helpers that need none are a library of their own, the reader defines
// the one pixel_buffer.hpp uses. PyPy's constructor takes the largest sizes
// for valid, with a length that wraps: such a size is refused here. On
// CPython the bytearray is grown from empty, since one whose first
// allocation fails is freed half-initialised.
Ref uninitialised_bytearray(Py_ssize_t size) {
#ifdef PYPY_VERSION
    if (size > PY_SSIZE_T_MAX / 2) return PyErr_NoMemory(), Ref{};
    return Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
#else
    Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (buffer && PyByteArray_Resize(buffer.get(), size) < 0) return {};
    return buffer;
#endif
}

}  // namespace host

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

int check_signals(const ReaderState& state) {
#ifdef PYPY_VERSION
    // PyPy's PyErr_CheckSignals does nothing: its handlers run only where
    // Python code jumps backwards, which the function's loop does once.
    Ref done = Ref::steal(PyObject_CallObject(state.signal_check, nullptr));
    return done ? 0 : -1;
#else
    (void)state;
    return PyErr_CheckSignals();
#endif
}

}  // namespace reader
}  // namespace tessarin
