// A byte view of an object's buffer, released when the view goes out of
// scope. While it is held, a bytearray cannot be resized.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace tessarin {

class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Takes a simple read view of `object`; -1 with the host's error when it
    // has no buffer.
    int acquire(PyObject* object) {
        release();
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return -1;
        held_ = true;
        return 0;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    std::span<const uint8_t> bytes() const noexcept {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tessarin
