// The module definition and initialisation.
#include <Python.h>

#include <charconv>
#include <cstring>

#include "common/errors.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/bmp/bmp.hpp"
#include "tessarin_ext/bmp/literals.hpp"
#include "tessarin_ext/function.hpp"
#include "tessarin_ext/host.hpp"
#include "tessarin_ext/image/simple_image.hpp"
#include "tessarin_ext/module_name.hpp"
#include "tessarin_ext/png/literals.hpp"
#include "tessarin_ext/png/png.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin {

namespace {

// Copies one attribute of the module spec into the module dictionary; an
// attribute the module spec lacks is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

// The attributes a new module object starts with on CPython, in its order,
// each None; PyPy's starts with `__name__` alone.
int add_missing_module_attributes(PyObject* module_dict) {
    for (const char* name : {"__doc__", "__package__", "__loader__", "__spec__"}) {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        if (!key) return -1;
        const int present = PyDict_Contains(module_dict, key.get());
        if (present < 0 || (!present && PyDict_SetItem(module_dict, key.get(), Py_None) < 0)) return -1;
    }
    return 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    // The calling thread's interpreter, through the calls both CPython and
    // PyPy export.
    const int64_t interpreter_id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (interpreter_id == -1) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = interpreter_id;
    } else if (state.interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (add_missing_module_attributes(module_dict) < 0 ||
        copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// Warns when the running interpreter is not the version the module was
// compiled for. The version is read with from_chars, which needs nothing
// from the C library: sscanf would tie a build on a new C library to that
// library's own version of it.
int check_host_version() {
    const char* version = Py_GetVersion();
    const char* end = version + std::strlen(version);
    int major = 0, minor = 0;
    const auto [after_major, major_error] = std::from_chars(version, end, major);
    if (major_error != std::errc{} || after_major == end || *after_major != '.') return 0;
    if (std::from_chars(after_major + 1, end, minor).ec != std::errc{}) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor);
}

// sys.modules under the qualified name, when the module was loaded under
// another name. Returns 1 when this call made the entry, 0 when one was there.
int register_qualified_name(PyObject* module) {
    Ref key = Ref::steal(PyUnicode_FromString(module_name));
    if (!key) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, key.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, key.get(), module) < 0 ? -1 : 1;
}

// Takes out of sys.modules the entry register_qualified_name made, if it
// still holds `module`; the pending exception is kept.
void unregister_qualified_name(PyObject* module) {
    ExceptionAside aside;
    Ref key = Ref::steal(PyUnicode_FromString(module_name));
    PyObject* found = key ? PyDict_GetItemWithError(PyImport_GetModuleDict(), key.get()) : nullptr;
    if (found == module) PyDict_DelItem(PyImport_GetModuleDict(), key.get());
}

// The item of `dict` under the string `name`, owned: null without an
// exception when there is none, null with it when the lookup failed.
Ref dict_item(PyObject* dict, const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    return Ref::borrow(PyDict_GetItemWithError(dict, key.get()));
}

// Looks up the built-ins the module relies on, in order, and keeps the two
// it calls; a missing one fails the import. The others are only required
// to be present.
int cache_builtins() {
    const struct {
        PyObject** slot;
        const char* name;
    } table[] = {
        {&state.builtin_staticmethod, "staticmethod"},
        {&state.builtin_open, "open"},
        {nullptr, "__import__"},
        {nullptr, "enumerate"},
        {nullptr, "Ellipsis"},
        {nullptr, "id"},
    };
    for (const auto& entry : table) {
        Ref found = dict_item(state.builtins_dict, entry.name);
        if (!found) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", entry.name);
            return -1;
        }
        if (entry.slot) Py_XSETREF(*entry.slot, found.release());
    }
    return 0;
}

// The streams whose behaviour the module relies on: the in-memory stream,
// the binary file object that the built-in open makes for reading, and the
// host's own open, whose files for writing are its buffered writers.
int cache_stream_types(PyObject* bytes_io) {
    Ref io_module = Ref::steal(PyImport_ImportModule("io"));
    if (!io_module) return -1;
    Ref buffered_reader = Ref::steal(PyObject_GetAttrString(io_module.get(), "BufferedReader"));
    if (!buffered_reader) return -1;
    Ref io_open = Ref::steal(PyObject_GetAttrString(io_module.get(), "open"));
    if (!io_open) return -1;
    Py_XSETREF(state.host_bytesio_type, Py_NewRef(bytes_io));
    Py_XSETREF(state.host_file_type, buffered_reader.release());
    Py_XSETREF(state.host_open, io_open.release());
    return 0;
}

// The names and literal objects of the module and of its codecs, made once
// per process: plain literals, they outlive a failed initialisation.
int init_process_literals() {
    if (state.constants_ready) return 0;
    if (init_constants() < 0 || png::init_literals() < 0 || bmp::init_literals() < 0) return -1;
    state.constants_ready = true;
    return 0;
}

int bind_global(PyObject* name, PyObject* value) { return PyDict_SetItem(state.home.dict, name, value); }

int import_globals() {
    Ref struct_module = Ref::steal(PyImport_ImportModuleLevelObject(state.names.struct_, state.home.dict,
                                                                    nullptr, nullptr, 0));
    if (!struct_module || bind_global(state.names.struct_, struct_module.get()) < 0) return -1;
    Ref zlib_module = Ref::steal(
        PyImport_ImportModuleLevelObject(state.names.zlib, state.home.dict, nullptr, nullptr, 0));
    if (!zlib_module || bind_global(state.names.zlib, zlib_module.get()) < 0) return -1;
    const struct {
        PyObject** slot;
        PyObject* name;
    } zlib_functions[] = {
        {&state.host_zlib_compress, state.names.compress},
        {&state.host_zlib_compressobj, state.names.compressobj},
        {&state.host_zlib_decompress, state.names.decompress},
        {&state.host_zlib_decompressobj, state.names.decompressobj},
    };
    for (const auto& entry : zlib_functions) {
        PyObject* function = PyObject_GetAttr(zlib_module.get(), entry.name);
        if (!function) return -1;
        Py_XSETREF(*entry.slot, function);
    }
    Py_XSETREF(state.host_zlib, zlib_module.release());

    Ref bytes_io;
    if (host::import_from("io", &state.names.BytesIO, 1, &bytes_io) < 0 ||
        bind_global(state.names.BytesIO, bytes_io.get()) < 0) {
        return -1;
    }
    if (cache_stream_types(bytes_io.get()) < 0) return -1;
    Ref path;
    if (host::import_from("pathlib", &state.names.Path, 1, &path) < 0 ||
        bind_global(state.names.Path, path.get()) < 0) {
        return -1;
    }
    Ref typing_names[4];
    PyObject* requested[4];
    const char* typing_list[4] = {"List", "Sequence", "Tuple", "Union"};
    Ref owned_names[4];
    for (int i = 0; i < 4; ++i) {
        owned_names[i] = Ref::steal(PyUnicode_InternFromString(typing_list[i]));
        if (!owned_names[i]) return -1;
        requested[i] = owned_names[i].get();
    }
    if (host::import_from("typing", requested, 4, typing_names) < 0) return -1;
    for (int i = 0; i < 4; ++i) {
        if (bind_global(requested[i], typing_names[i].get()) < 0) return -1;
    }
    return 0;
}

int bind_image_input() {
    Ref union_alias = host::global(state.names.Union);
    if (!union_alias) return -1;
    Ref path = host::global(state.names.Path);
    if (!path) return -1;
    Ref members = Ref::steal(PyTuple_Pack(4, &PyUnicode_Type, path.get(), &PyBytes_Type, &PyByteArray_Type));
    if (!members) return -1;
    Ref alias = Ref::steal(PyObject_GetItem(union_alias.get(), members.get()));
    if (!alias) return -1;
    return PyDict_SetItemString(state.home.dict, "ImageInput", alias.get());
}

int bind_module_functions() {
    const EntryPoint* defs[] = {&png::read_chunk_def, &png::make_chunk_def, &png::write_png_def,
                                &bmp::write_bmp_def};
    for (const EntryPoint* def : defs) {
        Ref function = Ref::steal(make_function(*def));
        if (!function || PyDict_SetItemString(state.home.dict, def->name, function.get()) < 0) return -1;
    }
    return 0;
}

// Stores a function in the class dictionary, then replaces it by
// `wrap(function)` read back from there.
int install_wrapped(const EntryPoint& def, PyObject* (*wrap)(PyObject*)) {
    Ref function = Ref::steal(make_function(def));
    if (!function || image::set_class_attribute(def.name, function.get()) < 0) return -1;
    Ref stored = dict_item(image::SimpleImageType.tp_dict, def.name);
    if (!stored) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_AttributeError, "type object 'SimpleImage' has no attribute '%s'", def.name);
        }
        return -1;
    }
    Ref wrapped = Ref::steal(wrap(stored.get()));
    if (!wrapped) return -1;
    return image::set_class_attribute(def.name, wrapped.get());
}

PyObject* wrap_static(PyObject* function) { return host::call(state.builtin_staticmethod, function).release(); }

int install_methods() {
    if (install_wrapped(image::stream_to_image_def, wrap_static) < 0) return -1;
    if (install_wrapped(image::open_def, PyClassMethod_New) < 0) return -1;
    const EntryPoint* methods[] = {&image::get_pixel_def, &image::put_pixel_def, &image::copy_def,
                                   &image::save_def, &image::save_bmp_def};
    for (const EntryPoint* def : methods) {
        Ref function = Ref::steal(make_function(*def));
        if (!function || image::set_class_attribute(def->name, function.get()) < 0) return -1;
    }
    return 0;
}

// Initialisation from the point where a failure earns a traceback entry.
int exec_bindings(PyObject* module, bool& registered) {
    const int registration = register_qualified_name(module);
    if (registration < 0) return -1;
    registered = registration == 1;
    if (cache_builtins() < 0) return -1;
    if (image::simple_image_type_ready() < 0 || function_type_ready() < 0) return -1;
    if (PyDict_SetItemString(state.home.dict, "SimpleImage",
                             reinterpret_cast<PyObject*>(&image::SimpleImageType)) < 0) {
        return -1;
    }
    if (import_globals() < 0) return -1;
    if (bind_global(state.names.PNG_SIGNATURE, state.constants.png_signature) < 0) return -1;
    if (bind_image_input() < 0) return -1;
    if (bind_module_functions() < 0) return -1;
    if (install_methods() < 0) return -1;
    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict) return -1;
    return PyDict_SetItemString(state.home.dict, "__test__", test_dict.get());
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tessarin_ext' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.home.dict = PyModule_GetDict(module);
    int result = -1;
    bool registered = false;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (builtins && PyDict_SetItemString(state.home.dict, "__builtins__", builtins.get()) == 0) {
        state.builtins_dict = PyModule_GetDict(builtins.get());
        if (check_host_version() == 0 && init_process_literals() == 0) {
            result = exec_bindings(module, registered);
            if (result < 0) add_init_traceback();
        }
    }
    if (result < 0) {
        if (registered) unregister_qualified_name(module);
        clear_process_state();
    }
    return result;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // The module's state is process-wide, so an interpreter with a GIL of its
    // own must not load it; the host refuses there before create runs. Other
    // interpreters reach create, which admits only the first of them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessarin_ext",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tessarin

PyMODINIT_FUNC PyInit_tessarin_ext() { return PyModuleDef_Init(&tessarin::module_def); }
