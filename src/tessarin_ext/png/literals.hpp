// The PNG codec's literal objects, made once per process.
#pragma once

#include <Python.h>

namespace tessarin::png {

struct Literals {
    PyObject* tag_ihdr;        // b"IHDR"
    PyObject* tag_idat;        // b"IDAT"
    PyObject* tag_iend;        // b"IEND"
    PyObject* fmt_ihdr;        // ">IIBBBBB": the IHDR chunk's fields
    PyObject* bit_depth;       // 8, the IHDR bit depth written
    PyObject* color_type_rgb;  // 2, the IHDR colour type written
};

extern Literals literals;

// Makes `literals`; -1 with the exception when the host cannot.
int init_literals();

}  // namespace tessarin::png
