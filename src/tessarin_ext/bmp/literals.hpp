// The BMP codec's literal objects, made once per process.
#pragma once

#include <Python.h>

namespace tessarin::bmp {

struct Literals {
    PyObject* fmt_file;          // "<IHHI": the file header after its signature
    PyObject* fmt_u32_le;        // "<I": the information header's size
    PyObject* fmt_info_read;     // "<iiHHIIiiII": the information header's fields read
    PyObject* fmt_info_write;    // "<IIIHHIIIIII": the information header written
    PyObject* headers_size;      // 54: file and information header
    PyObject* info_header_size;  // 40
    PyObject* bits_per_pixel;    // 24
    PyObject* resolution;        // 2835 pixels per metre (72 dpi)
};

extern Literals literals;

// Makes `literals`; -1 with the exception when the host cannot.
int init_literals();

}  // namespace tessarin::bmp
