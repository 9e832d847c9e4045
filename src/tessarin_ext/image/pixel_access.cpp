// getPixel, putPixel and copy. Coordinates that are exact ints are handled in
// machine integers; anything else takes the host's arithmetic, comparisons
// and item access, so results and errors are those of the plain Python
// expressions for every input.
#include <cstdint>
#include <cstring>

#include "common/args.hpp"
#include "common/checked.hpp"
#include "common/pixel_buffer.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/image/simple_image.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::image {

namespace {

SimpleImage* as_image(PyObject* object) { return reinterpret_cast<SimpleImage*>(object); }

int raise_out_of_bounds() {
    PyErr_SetString(PyExc_ValueError, "Pixel coordinate out of bounds");
    return -1;
}

// The byte index of a pixel: in machine integers when that is exact, else
// the host integer (y * width + x) * 3.
struct PixelIndex {
    bool in_machine = false;
    int64_t value = 0;
    Ref object;

    // The index of channel `offset`, as the host computes index + offset.
    Ref channel(int offset) const {
        if (in_machine) return Ref::steal(PyLong_FromLongLong(value + offset));
        if (offset == 0) return Ref::borrow(object.get());
        PyObject* addend = offset == 1 ? state.constants.one : state.constants.two;
        return Ref::steal(PyNumber_Add(object.get(), addend));
    }
};

// Whether 0 <= value < limit, for an exact int.
bool exact_in_range(PyObject* value, int32_t limit) {
    int overflow;
    const long long converted = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0 && converted >= 0 && converted < limit;
}

// Whether `left op right` holds, by the host's comparison.
int compare(PyObject* left, PyObject* right, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Unpacks `coords` (an exact tuple), checks the bounds against the image's
// current size and computes the byte index.
int locate(PyObject* self, PyObject* coords, PixelIndex& index) {
    Ref xy[2];
    if (unpack_exact(coords, 2, xy) < 0) return -1;
    PyObject* x = xy[0].get();
    PyObject* y = xy[1].get();
    SimpleImage* image = as_image(self);
    if (PyLong_CheckExact(x) && PyLong_CheckExact(y)) {
        if (!exact_in_range(x, image->width) || !exact_in_range(y, image->height)) return raise_out_of_bounds();
        const int64_t column = PyLong_AsLongLong(x), row = PyLong_AsLongLong(y);
        int64_t product;
        if (checked_mul(row, static_cast<int64_t>(image->width), product) &&
            checked_mul(product + column, int64_t{3}, index.value)) {
            index.in_machine = true;
            return 0;
        }
    } else {
        // Host comparisons, short-circuited in this order; each reads the
        // current size, as the comparisons may run Python code.
        PyObject* zero = state.constants.zero;
        int holds = compare(zero, x, Py_LE);
        if (holds > 0) {
            Ref width = Ref::steal(PyLong_FromLong(image->width));
            holds = width ? compare(x, width.get(), Py_LT) : -1;
        }
        if (holds > 0) holds = compare(zero, y, Py_LE);
        if (holds > 0) {
            Ref height = Ref::steal(PyLong_FromLong(image->height));
            holds = height ? compare(y, height.get(), Py_LT) : -1;
        }
        if (holds < 0) return -1;
        if (!holds) return raise_out_of_bounds();
    }
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    if (!width) return -1;
    Ref row_start = Ref::steal(PyNumber_Multiply(y, width.get()));
    if (!row_start) return -1;
    Ref pixel = Ref::steal(PyNumber_Add(row_start.get(), x));
    if (!pixel) return -1;
    index.object = Ref::steal(PyNumber_Multiply(pixel.get(), state.constants.three));
    return index.object ? 0 : -1;
}

// The value of an exact int; false, with nothing raised, when it does not
// fit in a Py_ssize_t. For the small ints of coordinates and channels this
// costs less than the conversion that reports overflow in a flag.
[[gnu::always_inline]] inline bool machine_value(PyObject* value, Py_ssize_t* out) {
    *out = PyLong_AsSsize_t(value);
    if (*out != -1 || !PyErr_Occurred()) return true;
    PyErr_Clear();
    return false;
}

// The pixel of the common call, method(self, (x, y), ...) with exact ints
// of machine size, once the caller has seen the argument count it expects
// and no keywords: 1 with the byte index set when the pixel is in bounds, -1
// with the bounds error raised when it is not, 0 when the general path must
// decide. Inlined into both callers, so the quick path is a single frame.
[[gnu::always_inline]] inline int quick_index(PyObject* const* args, int64_t* index) {
    if (!PyObject_TypeCheck(args[0], &SimpleImageType) || !PyTuple_CheckExact(args[1]) ||
        PyTuple_GET_SIZE(args[1]) != 2) {
        return 0;
    }
    PyObject* x = PyTuple_GET_ITEM(args[1], 0);
    PyObject* y = PyTuple_GET_ITEM(args[1], 1);
    if (!PyLong_CheckExact(x) || !PyLong_CheckExact(y)) return 0;
    Py_ssize_t column, row;
    if (!machine_value(x, &column) || !machine_value(y, &row)) return 0;
    const SimpleImage* image = as_image(args[0]);
    if (column < 0 || column >= image->width || row < 0 || row >= image->height) return raise_out_of_bounds();
    int64_t pixel;
    if (!checked_mul(static_cast<int64_t>(row), static_cast<int64_t>(image->width), pixel) ||
        !checked_mul(pixel + column, int64_t{3}, *index)) {
        return 0;
    }
    return 1;
}

// The three bytes at `index` of an exact bytearray that holds them.
const unsigned char* pixel_bytes(PyObject* pixels, int64_t index) {
    if (!PyByteArray_CheckExact(pixels) || index + 2 >= PyByteArray_GET_SIZE(pixels)) return nullptr;
    return reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(pixels)) + index;
}

// pixels[key], where the buffer is an exact bytearray or None: for None the
// message CPython gives, which PyPy extends with the key.
Ref item_of(PyObject* pixels, PyObject* key) {
    if (pixels == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return {};
    }
    return Ref::steal(PyObject_GetItem(pixels, key));
}

PyObject* rgb_tuple(const unsigned char* rgb) {
    PyObject* result = PyTuple_New(3);
    if (!result) return nullptr;
    for (int channel = 0; channel < 3; ++channel) {
        PyTuple_SET_ITEM(result, channel, Py_NewRef(state.constants.byte_values[rgb[channel]]));
    }
    return result;
}

// Every call the quick path leaves: binding, then the host's arithmetic and
// item access. Out of line, so the quick path saves no registers for it.
[[gnu::noinline]] PyObject* get_pixel_general(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* coords;
    if (bind(get_pixel_def, args, nargs, kwnames, &coords) < 0) return nullptr;
    PixelIndex index;
    if (locate(args[0], coords, index) < 0) return nullptr;
    if (index.in_machine) {
        if (const unsigned char* rgb = pixel_bytes(as_image(args[0])->pixels, index.value)) return rgb_tuple(rgb);
    }
    Ref channels[3];
    for (int offset = 0; offset < 3; ++offset) {
        // As in `self._pixels[index + offset]`: the buffer is read before the
        // index is computed, and afresh for every channel, since both the
        // arithmetic and the item access may run Python code.
        Ref buffer = Ref::borrow(as_image(args[0])->pixels);
        Ref key = index.channel(offset);
        if (!key) return nullptr;
        channels[offset] = item_of(buffer.get(), key.get());
        if (!channels[offset]) return nullptr;
    }
    return PyTuple_Pack(3, channels[0].get(), channels[1].get(), channels[2].get());
}

// The quick path, else the general one. Past the first test the keywords
// are known to be null and passed as a constant, so the quick path keeps no
// register for them.
PyObject* get_pixel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 2 || kwnames) return get_pixel_general(args, nargs, kwnames);
    int64_t index;
    const int located = quick_index(args, &index);
    if (located < 0) return nullptr;
    if (located > 0) {
        if (const unsigned char* rgb = pixel_bytes(as_image(args[0])->pixels, index)) return rgb_tuple(rgb);
    }
    return get_pixel_general(args, nargs, nullptr);
}

// int(item) & 255, as the host computes it.
int channel_value(PyObject* item, unsigned char* out) {
    Ref converted = PyLong_CheckExact(item) ? Ref::borrow(item) : Ref::steal(PyNumber_Long(item));
    if (!converted) return -1;
    // The low 64 bits of the two's complement value carry the low 8 bits of
    // the host's `& 255` for every int, negative ones included.
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(converted.get());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *out = static_cast<unsigned char>(bits & 0xff);
    return 0;
}

// The channels of a value that is an exact tuple or list of three exact
// ints, each & 255; false when the general path must convert them.
bool quick_channels(PyObject* value, unsigned char* rgb) {
    if (!(PyTuple_CheckExact(value) || PyList_CheckExact(value)) || PySequence_Fast_GET_SIZE(value) != 3) {
        return false;
    }
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (int channel = 0; channel < 3; ++channel) {
        PyObject* item = items[channel];
        if (!PyLong_CheckExact(item)) return false;
        // The low 8 bits of the two's complement value are the host's `& 255`.
        Py_ssize_t number;
        const unsigned long long bits = machine_value(item, &number) ? static_cast<unsigned long long>(number)
                                                                     : PyLong_AsUnsignedLongLongMask(item);
        rgb[channel] = static_cast<unsigned char>(bits & 0xff);
    }
    return true;
}

// Every call the quick path leaves: binding, then the host's conversions,
// arithmetic and item assignment. Out of line, so the quick path saves no
// registers for it.
[[gnu::noinline]] PyObject* put_pixel_general(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind(put_pixel_def, args, nargs, kwnames, bound) < 0) return nullptr;
    PixelIndex index;
    if (locate(args[0], bound[0], index) < 0) return nullptr;
    Ref rgb[3];
    if (unpack_exact(bound[1], 3, rgb) < 0) return nullptr;
    SimpleImage* image = as_image(args[0]);
    for (int offset = 0; offset < 3; ++offset) {
        unsigned char value;
        if (channel_value(rgb[offset].get(), &value) < 0) return nullptr;
        // The conversion may have run Python code: read the buffer afresh.
        PyObject* pixels = image->pixels;
        if (index.in_machine && PyByteArray_CheckExact(pixels) &&
            index.value + offset < PyByteArray_GET_SIZE(pixels)) {
            PyByteArray_AS_STRING(pixels)[index.value + offset] = static_cast<char>(value);
            continue;
        }
        Ref buffer = Ref::borrow(pixels);
        Ref key = index.channel(offset);
        if (!key) return nullptr;
        if (PyObject_SetItem(buffer.get(), key.get(), state.constants.byte_values[value]) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// As getPixel: the quick path, else the general one.
PyObject* put_pixel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 3 || kwnames) return put_pixel_general(args, nargs, kwnames);
    int64_t index;
    const int located = quick_index(args, &index);
    if (located < 0) return nullptr;
    unsigned char channels[3];
    if (located > 0 && quick_channels(args[2], channels) && pixel_bytes(as_image(args[0])->pixels, index)) {
        std::memcpy(PyByteArray_AS_STRING(as_image(args[0])->pixels) + index, channels, 3);
        Py_RETURN_NONE;
    }
    return put_pixel_general(args, nargs, nullptr);
}

PyObject* copy(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (bind(copy_def, args, nargs, kwnames, nullptr) < 0) return nullptr;
    SimpleImage* image = as_image(args[0]);
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    if (!width || !height) return nullptr;
    if (PyByteArray_CheckExact(image->pixels)) {
        // A fresh buffer only this call references: the image takes it over
        // after the same checks a construction makes.
        Ref contents = copied_bytearray(PyByteArray_AS_STRING(image->pixels), PyByteArray_GET_SIZE(image->pixels));
        if (!contents) return nullptr;
        return new_image_taking(width.get(), height.get(), std::move(contents));
    }
    // SimpleImage(width, height, self._pixels[:]), for an image without pixels.
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) return nullptr;
    Ref contents = item_of(image->pixels, all.get());
    if (!contents) return nullptr;
    return new_image(width.get(), height.get(), contents.get());
}

}  // namespace

constexpr EntryPoint get_pixel_def = method({
    .name = "getPixel",
    .site = {"SimpleImage.getPixel"},
    .count = 1,
    .params = {{"coords", "Tuple[int, int]", &PyTuple_Type}},
    .return_annotation = "Tuple[int, int, int]",
    .impl = get_pixel,
    .vectorcall = direct_vectorcall<get_pixel>,
});
constexpr EntryPoint put_pixel_def = method({
    .name = "putPixel",
    .site = {"SimpleImage.putPixel"},
    .count = 2,
    .params = {{"coords", "Tuple[int, int]", &PyTuple_Type}, {"value", "Sequence[int]"}},
    .return_annotation = "None",
    .impl = put_pixel,
    .vectorcall = direct_vectorcall<put_pixel>,
});
constexpr EntryPoint copy_def = method({
    .name = "copy",
    .site = {"SimpleImage.copy"},
    .return_annotation = "'SimpleImage'",
    .impl = copy,
});

}  // namespace tessarin::image
