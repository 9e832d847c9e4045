#include "common/function.hpp"

#include <cstddef>

#include "common/host_compat.hpp"
#include "common/ref.hpp"

namespace tessarin {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const EntryPoint* entry;
    const ModuleHome* home;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionObject* function = as_function(callable);
    PyObject* result = function->entry->impl(args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!result) add_traceback(*function->home, function->entry->site);
    return result;
}

void function_dealloc(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->module);
    Py_XDECREF(function->globals);
    Py_XDECREF(function->code);
    Py_XDECREF(function->annotations);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binds like a Python function: a bound method on instances, itself on the class.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

template <PyObject* FunctionObject::*field>
PyObject* get_field(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->*field);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module>, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&FunctionObject::code>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&FunctionObject::annotations>, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The name of the implicit first parameter, or null.
const char* receiver_name(Receiver receiver) {
    switch (receiver) {
        case Receiver::instance:
            return "self";
        case Receiver::cls:
            return "cls";
        case Receiver::none:
            break;
    }
    return nullptr;
}

// A code object with the function's parameters, the receiver first, as its
// first local names.
PyObject* make_code(const ModuleHome& home, const EntryPoint& entry, PyObject* qualname) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(home.source_file, entry.name, 1)));
    if (!empty) return nullptr;
    const char* names[EntryPoint::max_params + 1];
    int argcount = 0;
    if (const char* receiver = receiver_name(entry.receiver)) names[argcount++] = receiver;
    for (int i = 0; i < entry.count; ++i) names[argcount++] = entry.params[i].name;
    Ref varnames = Ref::steal(PyTuple_New(argcount));
    if (!varnames) return nullptr;
    for (int i = 0; i < argcount; ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O,s:i}", "co_argcount", argcount, "co_nlocals", argcount,
                                          "co_varnames", varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    if (!kwargs) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    if (PyDict_SetItemString(kwargs.get(), "co_qualname", qualname) < 0) return nullptr;
#else
    (void)qualname;
#endif
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), kwargs.get());
}

int annotate(PyObject* annotations, const char* key, const char* text) {
    Ref value = Ref::steal(PyUnicode_FromString(text));
    return value ? PyDict_SetItemString(annotations, key, value.get()) : -1;
}

// The annotated parameters in order, then the return annotation.
PyObject* make_annotations(const EntryPoint& entry) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (int i = 0; i < entry.count; ++i) {
        const Parameter& param = entry.params[i];
        if (param.annotation && annotate(annotations.get(), param.name, param.annotation) < 0) return nullptr;
    }
    if (entry.return_annotation && annotate(annotations.get(), "return", entry.return_annotation) < 0) {
        return nullptr;
    }
    return annotations.release();
}

}  // namespace

int function_type_ready(PyTypeObject& type, const char* type_name, const ModuleHome& home) {
    if (type.tp_flags & Py_TPFLAGS_READY) return 0;
    type.tp_name = type_name;
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    return host::ready_function_type(type, home.python_source);
}

PyObject* make_function(PyTypeObject& type, const ModuleHome& home, const EntryPoint& entry) {
    Ref function = Ref::steal(PyObject_New(PyObject, &type));
    if (!function) return nullptr;
    FunctionObject* fields = as_function(function.get());
    fields->vectorcall = entry.vectorcall ? entry.vectorcall : function_vectorcall;
    fields->entry = &entry;
    fields->home = &home;
    fields->name = fields->qualname = fields->module = fields->globals = fields->code = fields->annotations =
        nullptr;
    fields->name = PyUnicode_InternFromString(entry.name);
    fields->qualname = PyUnicode_InternFromString(entry.site.qualname);
    fields->module = PyUnicode_InternFromString(home.name);
    if (!fields->name || !fields->qualname || !fields->module) return nullptr;
    fields->globals = Py_NewRef(home.dict);
    fields->code = make_code(home, entry, fields->qualname);
    if (!fields->code) return nullptr;
    fields->annotations = make_annotations(entry);
    if (!fields->annotations) return nullptr;
    return function.release();
}

void add_function_traceback(PyObject* callable) {
    const FunctionObject* function = as_function(callable);
    add_traceback(*function->home, function->entry->site);
}

// Every module's function type frees its objects with function_dealloc, and
// an entry point belongs to one module.
bool is_function_for(PyObject* object, const EntryPoint& entry) {
    return Py_TYPE(object)->tp_dealloc == function_dealloc && as_function(object)->entry == &entry;
}

}  // namespace tessarin
