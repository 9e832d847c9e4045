// The SimpleImage type: width, height and an RGB pixel buffer.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/entry.hpp"
#include "common/ref.hpp"

namespace tessarin::image {

struct SimpleImage {
    PyObject_HEAD
    int32_t width;
    int32_t height;
    PyObject* pixels;  // an exact bytearray, or None
};

extern PyTypeObject SimpleImageType;

// Readies the type with its attributes and pickling refusal.
int simple_image_type_ready();

// Stores `value` under `name` in the class dictionary, as a class body would.
int set_class_attribute(const char* name, PyObject* value);

// SimpleImage(width, height, pixels) without argument binding: the checks,
// errors and copy of the constructor.
PyObject* new_image(PyObject* width, PyObject* height, PyObject* pixels);

// The same for an exact bytearray that the module itself has just made and
// that no other code has seen (a decoder's result, a copy): the image takes
// it over instead of copying it, with the same checks and errors. Whether a
// buffer is that fresh is known from where it comes from, never guessed
// from its reference count.
PyObject* new_image_taking(PyObject* width, PyObject* height, Ref pixels);

// The record of a method: `entry` with an instance of the type as self.
constexpr EntryPoint method(EntryPoint entry) {
    entry.receiver = Receiver::instance;
    entry.self_type = &SimpleImageType;
    return entry;
}

extern const EntryPoint get_pixel_def;
extern const EntryPoint put_pixel_def;
extern const EntryPoint copy_def;
extern const EntryPoint stream_to_image_def;
extern const EntryPoint open_def;
extern const EntryPoint save_def;
extern const EntryPoint save_bmp_def;

}  // namespace tessarin::image
