// The pixel buffer a decoder fills and then hands out as a bytearray, and
// the copies of pixels that construction and copy() make.
//
// On CPython it is a bytearray from the start, whose pages are touched only
// as rows are written. PyPy zeroes a bytearray as it makes it, so one of the
// size a header claims would cost all that memory before any row has
// arrived: there the rows go to raw memory, touched only as they are
// written, and are copied into a bytearray once all of them are in.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <utility>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "common/host_compat.hpp"
#include "common/ref.hpp"

namespace tessarin {

// Asks the kernel to back the 2 MiB-aligned part of a buffer of 4 MiB or
// more, about to be written in full, with huge pages: one fault per 2 MiB
// rather than one per 4 KiB page (bench/README.md measures what that saves
// a decode). Only advice: a kernel that has no huge pages for it, or none at
// all, goes on with small ones.
inline void prefer_huge_pages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t huge_page = uintptr_t{2} << 20;
    if (size < 2 * huge_page) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t end = (start + size) & ~(huge_page - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)data, (void)size;
#endif
}

// A new bytearray of `size` bytes, not initialised where the host allows it,
// whose pages a large one takes as huge ones; null with MemoryError.
inline Ref advised_bytearray(Py_ssize_t size) {
    Ref bytes = host::uninitialised_bytearray(size);
    if (bytes) prefer_huge_pages(PyByteArray_AS_STRING(bytes.get()), static_cast<size_t>(size));
    return bytes;
}

class PixelBuffer {
public:
    PixelBuffer() noexcept = default;
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;
    ~PixelBuffer() { PyMem_RawFree(raw_); }

    // Room for `size` bytes, not initialised; false with MemoryError. Raw
    // memory asks the host's allocator for what a bytearray of that size
    // takes.
    bool allocate(Py_ssize_t size) {
        if constexpr (!host::zeroes_bytearrays) {
            bytes_ = advised_bytearray(size);
            if (!bytes_) return false;
            data_ = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(bytes_.get()));
            return true;
        }
        raw_ = static_cast<uint8_t*>(PyMem_RawMalloc(static_cast<size_t>(size) + 1));
        size_ = size;
        if (!raw_) return PyErr_NoMemory(), false;
        prefer_huge_pages(raw_, static_cast<size_t>(size));
        data_ = raw_;
        return true;
    }
    uint8_t* data() const noexcept { return data_; }
    // The bytes as a bytearray; null with MemoryError.
    Ref finish() {
        if constexpr (!host::zeroes_bytearrays) return std::move(bytes_);
        Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(raw_), size_));
        PyMem_RawFree(raw_);
        raw_ = data_ = nullptr;
        return bytes;
    }

private:
    Ref bytes_;               // where the host leaves a new bytearray untouched
    uint8_t* raw_ = nullptr;  // where it zeroes one
    Py_ssize_t size_ = 0;
    uint8_t* data_ = nullptr;
};

// A new bytearray holding a copy of `size` bytes at `data`, as the host's
// bytearray() of an exact bytes or bytearray makes it; a large one goes to
// memory advised for huge pages before the copy touches it.
inline Ref copied_bytearray(const char* data, Py_ssize_t size) {
    if (host::zeroes_bytearrays) return Ref::steal(PyByteArray_FromStringAndSize(data, size));
    Ref copy = advised_bytearray(size);
    if (!copy) return {};
    std::memcpy(PyByteArray_AS_STRING(copy.get()), data, static_cast<size_t>(size));
    return copy;
}

}  // namespace tessarin
