#include "tessarin_ext/image/simple_image.hpp"

#include <cassert>
#include <cstddef>

#include "common/args.hpp"
#include "common/checked.hpp"
#include "common/errors.hpp"
#include "common/pixel_buffer.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/module_name.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::image {

PyTypeObject SimpleImageType;

namespace {

constexpr auto type_name = in_module("SimpleImage");

SimpleImage* as_image(PyObject* object) { return reinterpret_cast<SimpleImage*>(object); }

// The constructor's binding; tp_new is its only way in.
constexpr EntryPoint cinit_def{
    .name = "__cinit__",
    .site = {"SimpleImage.__cinit__"},
    .count = 3,
    .params = {{"width"}, {"height"}, {"pixels"}},
};
constexpr TracebackSite width_set_site{"SimpleImage.width.__set__"};
constexpr TracebackSite height_set_site{"SimpleImage.height.__set__"};
constexpr TracebackSite pixels_set_site{"SimpleImage._pixels.__set__"};

int raise_length_mismatch() { return raise_value_error("Pixel data length does not match image dimensions"); }

// len(pixels) == width * height * 3, the product taken exactly.
bool length_matches(Py_ssize_t length, int32_t width, int32_t height) {
    int64_t expected;
    if (!checked_mul(static_cast<int64_t>(width) * height, int64_t{3}, expected)) return false;
    return expected == length;
}

// Stores the checked dimensions and a buffer this object now owns.
void store(SimpleImage* image, int32_t width, int32_t height, PyObject* buffer) {
    image->width = width;
    image->height = height;
    PyObject* old = image->pixels;
    image->pixels = buffer;
    Py_XDECREF(old);
}

// The checks and copy every construction makes, in their order.
int construct(SimpleImage* image, PyObject* width_arg, PyObject* height_arg, PyObject* pixels) {
    int32_t width, height;
    if (to_int32(width_arg, &width) < 0 || to_int32(height_arg, &height) < 0) return -1;
    const Py_ssize_t length = PyObject_Length(pixels);
    if (length < 0) return -1;
    if (!length_matches(length, width, height)) return raise_length_mismatch();
    Ref buffer = PyBytes_CheckExact(pixels)       ? copied_bytearray(PyBytes_AS_STRING(pixels), length)
                 : PyByteArray_CheckExact(pixels) ? copied_bytearray(PyByteArray_AS_STRING(pixels), length)
                                                  : host::bytearray(pixels);
    if (!buffer) return -1;
    // An object whose len() disagrees with what it yields must not break
    // the length invariant.
    if (!length_matches(PyByteArray_GET_SIZE(buffer.get()), width, height)) return raise_length_mismatch();
    store(image, width, height, buffer.release());
    return 0;
}

// An instance of `type` without pixels yet.
Ref allocate_image(PyTypeObject* type = &SimpleImageType) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (self) as_image(self.get())->pixels = Py_NewRef(Py_None);
    return self;
}

PyObject* simple_image_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = allocate_image(type);
    if (!self) return nullptr;
    SimpleImage* image = as_image(self.get());
    PyObject* bound[3];
    if (bind_tuple(cinit_def, args, kwargs, bound) < 0) {
        add_traceback(cinit_def.site);
        return nullptr;
    }
    // Keyword values are borrowed from the caller's dictionary, which Python
    // code run by the conversions (an __int__, a __len__) can empty.
    Ref width = Ref::borrow(bound[0]), height = Ref::borrow(bound[1]), pixels = Ref::borrow(bound[2]);
    if (construct(image, width.get(), height.get(), pixels.get()) < 0) {
        add_traceback(cinit_def.site);
        return nullptr;
    }
    return self.release();
}

void simple_image_dealloc(PyObject* self) {
    Py_CLEAR(as_image(self)->pixels);
    Py_TYPE(self)->tp_free(self);
}

// Attributes.

template <int32_t SimpleImage::*field>
PyObject* get_dimension(PyObject* self, void*) {
    return PyLong_FromLong(as_image(self)->*field);
}

template <int32_t SimpleImage::*field, const TracebackSite* site>
int set_dimension(PyObject* self, PyObject* value, void*) {
    int32_t converted;
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
    } else if (to_int32(value, &converted) == 0) {
        as_image(self)->*field = converted;
        return 0;
    }
    add_traceback(*site);
    return -1;
}

PyObject* get_size(PyObject* self, void*) {
    return Py_BuildValue("(ii)", as_image(self)->width, as_image(self)->height);
}

PyObject* get_pixels(PyObject* self, void*) { return Py_NewRef(as_image(self)->pixels); }

int set_pixels(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyByteArray_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(value)->tp_name);
        add_traceback(pixels_set_site);
        return -1;
    }
    Py_SETREF(as_image(self)->pixels, Py_NewRef(value));
    return 0;
}

PyGetSetDef simple_image_getset[] = {
    {"size", get_size, nullptr, nullptr, nullptr},
    {"width", get_dimension<&SimpleImage::width>, set_dimension<&SimpleImage::width, &width_set_site>,
     nullptr, nullptr},
    {"height", get_dimension<&SimpleImage::height>, set_dimension<&SimpleImage::height, &height_set_site>,
     nullptr, nullptr},
    {"_pixels", get_pixels, set_pixels, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickling refusal. The method table passes self apart from the arguments.

constexpr EntryPoint reduce_def{.name = "__reduce__", .site = {"SimpleImage.__reduce__"}};
constexpr EntryPoint setstate_def{
    .name = "__setstate__",
    .site = {"SimpleImage.__setstate__"},
    .count = 1,
    .params = {{"state"}},
};

PyObject* refuse_pickling(const EntryPoint& entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind(entry, args, nargs, kwnames, bound) == 0) {
        PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    }
    add_traceback(entry.site);
    return nullptr;
}

PyObject* reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return refuse_pickling(reduce_def, args, nargs, kwnames);
}

PyObject* setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return refuse_pickling(setstate_def, args, nargs, kwnames);
}

PyMethodDef simple_image_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int simple_image_type_ready() {
    if (SimpleImageType.tp_flags & Py_TPFLAGS_READY) return 0;
    SimpleImageType.tp_name = type_name.data();
    SimpleImageType.tp_doc = "A minimal RGB image helper with 8 bits per channel.";
    SimpleImageType.tp_basicsize = sizeof(SimpleImage);
    SimpleImageType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    SimpleImageType.tp_new = simple_image_new;
    SimpleImageType.tp_dealloc = simple_image_dealloc;
    SimpleImageType.tp_getset = simple_image_getset;
    SimpleImageType.tp_methods = simple_image_methods;
    return host::ready_static_type(SimpleImageType);
}

int set_class_attribute(const char* name, PyObject* value) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key || PyDict_SetItem(SimpleImageType.tp_dict, key.get(), value) < 0) return -1;
    PyType_Modified(&SimpleImageType);
    Ref set_name = Ref::steal(PyObject_GetAttr(value, state.names.set_name));
    if (!set_name) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return host::call(set_name.get(), reinterpret_cast<PyObject*>(&SimpleImageType), key.get()) ? 0 : -1;
}

PyObject* new_image(PyObject* width, PyObject* height, PyObject* pixels) {
    Ref self = allocate_image();
    if (!self) return nullptr;
    if (construct(as_image(self.get()), width, height, pixels) < 0) {
        add_traceback(cinit_def.site);
        return nullptr;
    }
    return self.release();
}

PyObject* new_image_taking(PyObject* width_arg, PyObject* height_arg, Ref pixels) {
    assert(PyByteArray_CheckExact(pixels.get()));
    Ref self = allocate_image();
    if (!self) return nullptr;
    int32_t width, height;
    if (to_int32(width_arg, &width) < 0 || to_int32(height_arg, &height) < 0 ||
        (!length_matches(PyByteArray_GET_SIZE(pixels.get()), width, height) && raise_length_mismatch() < 0)) {
        add_traceback(cinit_def.site);
        return nullptr;
    }
    store(as_image(self.get()), width, height, pixels.release());
    return self.release();
}

}  // namespace tessarin::image
