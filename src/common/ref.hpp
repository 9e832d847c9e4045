// An owning handle for one Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace tessarin {

// Move-only; the constructor's name says whether the reference is taken over
// (steal, for new references) or a new one is added (borrow).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for returning a new reference).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // A new reference to the same object, for returning while keeping this one.
    PyObject* new_reference() const noexcept {
        Py_XINCREF(object_);
        return object_;
    }
    void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tessarin
