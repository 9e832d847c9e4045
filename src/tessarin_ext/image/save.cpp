// SimpleImage.save and SimpleImage.saveBmp: the image handed to the encoder
// that the module global of that name holds at the time of the call.
#include "common/args.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/image/simple_image.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin::image {

namespace {

PyObject* save_with(const EntryPoint& entry, PyObject* encoder_name, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    PyObject* path;
    if (bind(entry, args, nargs, kwnames, &path) < 0) return nullptr;
    Ref encoder = host::global(encoder_name);
    if (!encoder) return nullptr;
    const SimpleImage* image = reinterpret_cast<const SimpleImage*>(args[0]);
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    if (!width || !height) return nullptr;
    Ref pixels = Ref::borrow(image->pixels);
    if (!host::call(encoder.get(), path, width.get(), height.get(), pixels.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return save_with(save_def, state.names.writePng, args, nargs, kwnames);
}

PyObject* save_bmp_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return save_with(save_bmp_def, state.names.writeBmp, args, nargs, kwnames);
}

// Both methods take the path of the file to write.
constexpr EntryPoint save_method(const char* name, const char* qualname, FunctionImpl impl) {
    return method({
        .name = name,
        .site = {qualname},
        .count = 1,
        .params = {{"path", "str", &PyUnicode_Type}},
        .return_annotation = "None",
        .impl = impl,
    });
}

}  // namespace

constexpr EntryPoint save_def = save_method("save", "SimpleImage.save", save_impl);
constexpr EntryPoint save_bmp_def = save_method("saveBmp", "SimpleImage.saveBmp", save_bmp_impl);

}  // namespace tessarin::image
