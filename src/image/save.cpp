// SimpleImage.save and SimpleImage.saveBmp: the image handed to the encoder
// that the module global of that name holds at the time of the call.
#include "image/simple_image.hpp"
#include "module/args.hpp"
#include "module/host.hpp"
#include "module/state.hpp"

namespace tessarin::image {

namespace {

PyObject* save_with(Signature& signature, PyObject* encoder_name, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    if (check_self(args, nargs, signature.name) < 0) return nullptr;
    PyObject* path;
    if (bind(signature, args + 1, nargs - 1, kwnames, &path) < 0 ||
        check_exact_type(path, &PyUnicode_Type, "path") < 0) {
        return nullptr;
    }
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

Signature save_signature{"save", 1, {"path"}};
Signature save_bmp_signature{"saveBmp", 1, {"path"}};

PyObject* save_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return save_with(save_signature, state.names.writePng, args, nargs, kwnames);
}

PyObject* save_bmp_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return save_with(save_bmp_signature, state.names.writeBmp, args, nargs, kwnames);
}

}  // namespace

FunctionDef save_def{"save", 2, {"self", "path"}, 2, {{"path", "str"}, {"return", "None"}}, save_entry,
                     {"SimpleImage.save"}};
FunctionDef save_bmp_def{"saveBmp", 2, {"self", "path"}, 2, {{"path", "str"}, {"return", "None"}},
                         save_bmp_entry, {"SimpleImage.saveBmp"}};

}  // namespace tessarin::image
