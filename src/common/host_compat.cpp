#include "common/host_compat.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/calls.hpp"

namespace tessarin::host {

#ifdef PYPY_VERSION

namespace {

// The function `name` defined by the Python code `source`, run with the
// dictionary `globals`. PyPy's JIT compiles such a function with its caller,
// where a call into C costs a crossing of its C API emulation.
Ref python_function(const char* source, const char* source_name, const char* name, PyObject* globals) {
    Ref code = Ref::steal(Py_CompileString(source, source_name, Py_file_input));
    if (!code) return {};
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals, globals));
    if (!done) return {};
    return Ref::steal(PyMapping_GetItemString(globals, name));
}

// The attribute `name` of the first class in the MRO of `value`'s type that
// defines it, bound to `value` as a special method is: 1 when found, 0 when
// no class defines it, -1 on error.
int special_method(PyObject* value, const char* name, Ref& bound) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Ref mro = Ref::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return -1;
    Ref classes = Ref::steal(PySequence_Fast(mro.get(), "__mro__ is not a sequence"));
    if (!classes) return -1;
    Ref found;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(classes.get()) && !found; ++i) {
        Ref namespace_ = Ref::steal(PyObject_GetAttrString(PySequence_Fast_GET_ITEM(classes.get(), i), "__dict__"));
        if (!namespace_) return -1;
        found = Ref::steal(PyMapping_GetItemString(namespace_.get(), name));
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
        }
    }
    if (!found) return 0;
    Ref getter = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(found.get())), "__get__"));
    if (!getter) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        bound = std::move(found);
        return 1;
    }
    bound = call(getter.get(), found.get(), value, type);
    return bound ? 1 : -1;
}

// PyPy calls an object of a type defined in C through its type's __call__,
// by default a wrapper of the call slot that packs the arguments into a tuple
// and costs a microsecond or more a call. A method of the type's own
// dictionary takes them as an array, as the vectorcall does, in a tenth of
// that.
PyObject* call_through_vectorcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    vectorcallfunc vectorcall;
    std::memcpy(&vectorcall, reinterpret_cast<const char*>(self) + Py_TYPE(self)->tp_vectorcall_offset,
                sizeof vectorcall);
    return vectorcall(self, args, static_cast<size_t>(nargs), kwnames);
}

PyMethodDef call_method_def = {"__call__",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_through_vectorcall)),
                               METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

// PyPy's resize reports a failed allocation as SystemError, and its
// constructor takes the largest sizes for valid, with a length that wraps:
// such a size, which no allocator can give, is refused here and the rest
// go to the constructor, which raises MemoryError.
Ref uninitialised_bytearray(Py_ssize_t size) {
    if (size > PY_SSIZE_T_MAX / 2) return PyErr_NoMemory(), Ref{};
    return Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
}

int resize_private_bytearray(Ref& buffer, Py_ssize_t size) {
    Ref resized = uninitialised_bytearray(size);
    if (!resized) return -1;
    std::memcpy(PyByteArray_AS_STRING(resized.get()), PyByteArray_AS_STRING(buffer.get()),
                static_cast<size_t>(std::min(size, PyByteArray_GET_SIZE(buffer.get()))));
    buffer = std::move(resized);
    return 0;
}

// PyPy runs signal handlers only where Python code jumps backwards, in its
// interpreter and in the machine code its JIT makes alike: this function's
// loop jumps back once.
int make_signal_check(const char* source_name, PyObject** slot) {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return -1;
    *slot = python_function(
                "def signal_check():\n"
                "    looped = False\n"
                "    while not looped:\n"
                "        looped = True\n",
                source_name, "signal_check", globals.get())
                .release();
    return *slot ? 0 : -1;
}

int check_signals(PyObject* signal_check) {
    Ref done = call(signal_check);
    return done ? 0 : -1;
}

// PyPy's integer conversion slot of a class defined in Python checks the
// result itself, in its own words: there `__int__` is looked up and called
// as CPython's slot does, leaving the checks to the caller.
int call_int_slot(PyObject* value, Ref& result) {
    Ref method;
    const int found = special_method(value, "__int__", method);
    if (found <= 0) return found;
    result = call(method.get());
    return result ? 1 : -1;
}

// PyPy gives a type an instance dictionary and a weak-reference slot unless
// its class dictionary declares `__slots__`, as a class body would; the
// declaration is taken out again once the type is ready.
int ready_static_type(PyTypeObject& type) {
    type.tp_dict = PyDict_New();
    if (!type.tp_dict) return -1;
    Ref no_slots = Ref::steal(PyTuple_New(0));
    if (!no_slots || PyDict_SetItemString(type.tp_dict, "__slots__", no_slots.get()) < 0 || PyType_Ready(&type) < 0 ||
        PyDict_DelItemString(type.tp_dict, "__slots__") < 0) {
        return -1;
    }
    PyType_Modified(&type);
    return 0;
}

// Calls go through a method of the type's own dictionary (see
// call_through_vectorcall), and binding through a Python function, which
// PyPy's JIT compiles with its caller, where the slot would cross into C
// once more.
int ready_function_type(PyTypeObject& type, const char* source_name) {
    if (PyType_Ready(&type) < 0) return -1;
    Ref call_method = Ref::steal(PyDescr_NewMethod(&type, &call_method_def));
    if (!call_method || PyDict_SetItemString(type.tp_dict, "__call__", call_method.get()) < 0) return -1;
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "MethodType", reinterpret_cast<PyObject*>(&PyMethod_Type)) < 0) {
        return -1;
    }
    Ref bind = python_function(
        "def __get__(self, instance, owner=None):\n"
        "    return self if instance is None else MethodType(self, instance)\n",
        source_name, "__get__", globals.get());
    if (!bind || PyDict_SetItemString(type.tp_dict, "__get__", bind.get()) < 0) return -1;
    PyType_Modified(&type);
    return 0;
}

#else

// Grown from empty rather than allocated at its size: a bytearray whose
// first allocation fails is freed half-initialised by the host, which then
// reports a spurious SystemError next to the MemoryError.
Ref uninitialised_bytearray(Py_ssize_t size) {
    Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (buffer && PyByteArray_Resize(buffer.get(), size) < 0) return {};
    return buffer;
}

int resize_private_bytearray(Ref& buffer, Py_ssize_t size) { return PyByteArray_Resize(buffer.get(), size); }

int make_signal_check(const char*, PyObject** slot) {
    *slot = nullptr;
    return 0;
}

int check_signals(PyObject*) { return PyErr_CheckSignals(); }

int call_int_slot(PyObject* value, Ref& result) {
    auto nb_int = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(value), Py_nb_int));
    if (!nb_int) return 0;
    result = Ref::steal(nb_int(value));
    return result ? 1 : -1;
}

int ready_static_type(PyTypeObject& type) { return PyType_Ready(&type); }

int ready_function_type(PyTypeObject& type, const char*) { return PyType_Ready(&type); }

#endif

}  // namespace tessarin::host
