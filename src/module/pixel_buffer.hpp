// The pixel buffer a decoder fills and then hands out as a bytearray.
//
// On CPython it is a bytearray from the start, whose pages are touched only
// as rows are written. PyPy zeroes a bytearray as it makes it, so one of the
// size a header claims would cost all that memory before any row has
// arrived: there the rows go to raw memory, touched only as they are
// written, and are copied into a bytearray once all of them are in.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "module/host.hpp"
#include "module/ref.hpp"

namespace tessarin {

class PixelBuffer {
public:
#ifdef PYPY_VERSION
    static constexpr bool host_zeroes_bytearrays = true;
#else
    static constexpr bool host_zeroes_bytearrays = false;
#endif
    PixelBuffer() noexcept = default;
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

#ifdef PYPY_VERSION
    ~PixelBuffer() { PyMem_RawFree(raw_); }

    // Room for `size` bytes, not initialised; false with MemoryError. The
    // host's allocator is asked for what a bytearray of that size takes.
    bool allocate(Py_ssize_t size) {
        raw_ = static_cast<uint8_t*>(PyMem_RawMalloc(static_cast<size_t>(size) + 1));
        size_ = size;
        if (!raw_) PyErr_NoMemory();
        return raw_ != nullptr;
    }
    uint8_t* data() const noexcept { return raw_; }
    // The bytes as a new bytearray; null with MemoryError.
    Ref finish() {
        Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(raw_), size_));
        PyMem_RawFree(raw_);
        raw_ = nullptr;
        return bytes;
    }

private:
    uint8_t* raw_ = nullptr;
    Py_ssize_t size_ = 0;
#else
    bool allocate(Py_ssize_t size) {
        bytes_ = host::uninitialised_bytearray(size);
        return static_cast<bool>(bytes_);
    }
    uint8_t* data() const noexcept { return reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(bytes_.get())); }
    Ref finish() { return std::move(bytes_); }

private:
    Ref bytes_;
#endif
};

}  // namespace tessarin
