// The SimpleImage type: width, height and an RGB pixel buffer.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/function.hpp"

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

// Builds an image of the type itself from width, height and a fresh
// bytearray that nobody else references, taking the buffer over instead of
// copying it (the result is the same as a full construction).
PyObject* adopt_pixels(PyObject* width, PyObject* height, PyObject* pixels);

// Whether `self` is a SimpleImage; raises TypeError for `method` otherwise.
int check_self(PyObject* const* args, Py_ssize_t nargs, const char* method);

extern FunctionDef get_pixel_def;
extern FunctionDef put_pixel_def;
extern FunctionDef copy_def;
extern FunctionDef stream_to_image_def;
extern FunctionDef open_def;
extern FunctionDef save_def;
extern FunctionDef save_bmp_def;

}  // namespace tessarin::image
