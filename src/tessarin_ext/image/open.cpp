// SimpleImage.open and SimpleImage._streamToImage: an image from a path or
// raw bytes, its format recognised by content.
#include "common/args.hpp"
#include "tessarin_ext/bmp/bmp.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/image/simple_image.hpp"
#include "tessarin_ext/png/png.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::image {

namespace {

// signature[:2] == b"BM", by the host's slicing and comparison.
int starts_with_bm(PyObject* signature) {
    if (!PyType_GetSlot(Py_TYPE(signature), Py_mp_subscript)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(signature)->tp_name);
        return -1;
    }
    Ref head = Ref::steal(PyObject_GetItem(signature, state.constants.slice_to_2));
    if (!head) return -1;
    return PyObject_RichCompareBool(head.get(), state.constants.bmp_signature, Py_EQ);
}

Ref stream_to_image(PyObject* stream, host::StreamOrigin origin) {
    Ref signature = host::call_method(stream, state.names.read, state.constants.eight);
    if (!signature) return {};
    if (!host::call_method(stream, state.names.seek, state.constants.zero)) return {};
    Ref png_signature = host::global(state.names.PNG_SIGNATURE);
    if (!png_signature) return {};
    Ref is_png = host::call_method(signature.get(), state.names.startswith, png_signature.get());
    if (!is_png) return {};
    const int png = PyObject_IsTrue(is_png.get());
    if (png < 0) return {};
    if (png) return png::load_png(stream, origin);
    const int bmp = starts_with_bm(signature.get());
    if (bmp < 0) return {};
    if (bmp) return bmp::load_bmp(stream, origin);
    PyErr_SetString(PyExc_ValueError, "Unsupported image format");
    return {};
}

PyObject* stream_to_image_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* stream;
    if (bind(stream_to_image_def, args, nargs, kwnames, &stream) < 0) return nullptr;
    return stream_to_image(stream, host::StreamOrigin::caller).release();
}

// What cls._streamToImage(stream) returned, unpacked, and whether it was the
// module's own decoder: its pixel buffer is then new and seen by no other
// code, so the image may take it over.
struct Decoded {
    Ref width, height, pixels;
    bool own = false;
};

// width, height, pixels = cls._streamToImage(stream). The module's own
// function is called without the detour through argument binding, and with
// the stream's origin; an override is handed the stream and sees it.
int decode_with(PyObject* cls, PyObject* stream, host::StreamOrigin origin, Decoded& decoded) {
    Ref decoder = Ref::steal(PyObject_GetAttr(cls, state.names.streamToImage));
    if (!decoder) return -1;
    decoded.own = is_function_for(decoder.get(), stream_to_image_def);
    Ref result;
    if (decoded.own) {
        result = stream_to_image(stream, origin);
        if (!result) add_traceback(stream_to_image_def.site);
    } else {
        result = host::call(decoder.get(), stream);
    }
    if (!result) return -1;
    Ref values[3];
    if (unpack_exact(result.get(), 3, values) < 0) return -1;
    decoded.width = std::move(values[0]);
    decoded.height = std::move(values[1]);
    decoded.pixels = std::move(values[2]);
    return 0;
}

// A stream the module has just made through the host (its cached built-in
// open, or the global BytesIO while it is still the host's own): only when
// it is of exactly the host's type `host_type` can nobody else see the calls
// made on it.
host::StreamOrigin origin_of(PyObject* stream, PyObject* host_type) {
    return reinterpret_cast<PyObject*>(Py_TYPE(stream)) == host_type ? host::StreamOrigin::module
                                                                      : host::StreamOrigin::caller;
}

// 1 when `source` names a file: a str, or an instance of the global Path.
int is_path(PyObject* source) {
    if (PyUnicode_Check(source)) return 1;
    Ref path_type = host::global(state.names.Path);
    if (!path_type) return -1;
    return PyObject_IsInstance(source, path_type.get());
}

int decode_source(PyObject* cls, PyObject* source, Decoded& decoded) {
    const int path = is_path(source);
    if (path < 0) return -1;
    if (path) {
        Ref file = host::open_file(source, state.constants.mode_read);
        if (!file) return -1;
        Ref done = host::with_context(file.get(), [&](PyObject* stream) -> Ref {
            return decode_with(cls, stream, origin_of(stream, state.host_file_type), decoded) < 0
                       ? Ref{}
                       : Ref::borrow(Py_None);
        });
        return done ? 0 : -1;
    }
    if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytes_io = host::global(state.names.BytesIO);
        if (!bytes_io) return -1;
        Ref stream = host::call(bytes_io.get(), source);
        if (!stream) return -1;
        const host::StreamOrigin origin = bytes_io.get() == state.host_bytesio_type
                                              ? origin_of(stream.get(), state.host_bytesio_type)
                                              : host::StreamOrigin::caller;
        return decode_with(cls, stream.get(), origin, decoded);
    }
    PyErr_SetString(PyExc_TypeError, "source must be a file path or raw bytes");
    return -1;
}

PyObject* open_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source;
    if (bind(open_def, args, nargs, kwnames, &source) < 0) return nullptr;
    PyObject* cls = args[0];
    Decoded decoded;
    if (decode_source(cls, source, decoded) < 0) return nullptr;
    PyObject* const width = decoded.width.get();
    PyObject* const height = decoded.height.get();
    // The type's own construction, without the copy, for the buffer its own
    // decoder has just made.
    if (cls == reinterpret_cast<PyObject*>(&SimpleImageType) && decoded.own) {
        return new_image_taking(width, height, std::move(decoded.pixels));
    }
    Ref image = host::call(cls, width, height, decoded.pixels.get());
    if (!image) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), &SimpleImageType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(image.get())->tp_name,
                     SimpleImageType.tp_name);
        return nullptr;
    }
    return image.release();
}

}  // namespace

constexpr EntryPoint stream_to_image_def{
    .name = "_streamToImage",
    .site = {"SimpleImage._streamToImage"},
    .count = 1,
    .params = {{"stream"}},
    .impl = stream_to_image_impl,
};
constexpr EntryPoint open_def{
    .name = "open",
    .site = {"SimpleImage.open"},
    .receiver = Receiver::cls,
    .count = 1,
    .params = {{"source", "ImageInput"}},
    .return_annotation = "'SimpleImage'",
    .impl = open_impl,
};

}  // namespace tessarin::image
