#include "common/args.hpp"

#include <climits>

#include "common/host_compat.hpp"

namespace tessarin {

namespace {

int intern_params(const EntryPoint& entry) {
    for (int i = 0; i < entry.count; ++i) {
        if (entry.interned[i]) continue;
        entry.interned[i] = PyUnicode_InternFromString(entry.params[i].name);
        if (!entry.interned[i]) return -1;
    }
    return 0;
}

int raise_count(const EntryPoint& entry, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", entry.name,
                 "exactly", static_cast<Py_ssize_t>(entry.count), entry.count == 1 ? "" : "s", given);
    return -1;
}

// The parameter index `key` names, or -1; -2 with an exception set.
int param_index(const EntryPoint& entry, PyObject* key) {
    for (int i = 0; i < entry.count; ++i) {
        if (entry.interned[i] == key) return i;
    }
    for (int i = 0; i < entry.count; ++i) {
        int equal = PyObject_RichCompareBool(entry.interned[i], key, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return -1;
}

// The implicit first argument, as the host checks a method descriptor's.
int check_receiver(const EntryPoint& entry, PyObject* const* args, Py_ssize_t nargs) {
    if (entry.receiver == Receiver::none) return 0;
    if (entry.receiver == Receiver::cls) {
        if (nargs >= 1) return 0;
        PyErr_Format(PyExc_TypeError, "%s() needs its class as the first argument", entry.name);
        return -1;
    }
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%s' object needs an argument", entry.name,
                     entry.self_type->tp_name);
        return -1;
    }
    if (!PyObject_TypeCheck(args[0], entry.self_type)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%.100s'", entry.name,
                     entry.self_type->tp_name, Py_TYPE(args[0])->tp_name);
        return -1;
    }
    return 0;
}

// Positional arguments fill the parameters from the left, keywords the rest.
int bind_parameters(const EntryPoint& entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    if (nargs > entry.count) return raise_count(entry, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < entry.count; ++i) bound[i] = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        if (intern_params(entry) < 0) return -1;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry.name);
                return -1;
            }
            const int index = param_index(entry, key);
            if (index == -2) return -1;
            if (index >= 0 && index >= nargs) {
                bound[index] = args[nargs + k];
                continue;
            }
            if (index >= 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", entry.name,
                             key);
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry.name, key);
            }
            return -1;
        }
    }
    for (int i = 0; i < entry.count; ++i) {
        if (!bound[i]) return raise_count(entry, i);
    }
    return 0;
}

int check_exact_type(PyObject* value, PyTypeObject* expected, const char* param) {
    if (Py_IS_TYPE(value, expected)) return 0;
    const bool subclass = value != Py_None && PyObject_TypeCheck(value, expected);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", param,
                 expected->tp_name, Py_TYPE(value)->tp_name,
                 subclass ? ". Subclasses of built-in types are rejected; pass an instance of the exact type." : "");
    return -1;
}

}  // namespace

int bind(const EntryPoint& entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    if (check_receiver(entry, args, nargs) < 0) return -1;
    if (entry.receiver != Receiver::none) {
        ++args;
        --nargs;
    }
    if (bind_parameters(entry, args, nargs, kwnames, bound) < 0) return -1;
    for (int i = 0; i < entry.count; ++i) {
        const Parameter& param = entry.params[i];
        if (param.exact_type && check_exact_type(bound[i], param.exact_type, param.name) < 0) return -1;
    }
    return 0;
}

int bind_tuple(const EntryPoint& entry, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return bind(entry, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, bound);
    // Positional arguments, then keyword values in call order, with their
    // names apart: the layout of a vectorcall.
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!stack || !kwnames) return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(stack.get(), i, item);
    }
    Py_ssize_t position = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(stack.get(), nargs + k, value);
        ++k;
    }
    // `bound` borrows from `stack`, which dies here; the values stay alive in
    // `args` and `kwargs` only as long as nobody empties the dictionary.
    return bind(entry, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get(), bound);
}

int to_int32(PyObject* value, int32_t* out) {
    Ref converted;
    if (!PyLong_Check(value)) {
        const int found = host::call_int_slot(value, converted);
        if (found < 0) return -1;
        if (found == 0) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return -1;
        }
        if (!PyLong_CheckExact(converted.get())) {
            if (!PyLong_Check(converted.get())) {
                PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                             Py_TYPE(converted.get())->tp_name);
                return -1;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an "
                                 "instance of a strict subclass of int is deprecated, and may be "
                                 "removed in a future version of Python.",
                                 Py_TYPE(converted.get())->tp_name) < 0) {
                return -1;
            }
        }
        value = converted.get();
    }
    const long wide = PyLong_AsLong(value);
    if (wide == -1 && PyErr_Occurred()) return -1;
    if (wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return -1;
    }
    if (wide < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return -1;
    }
    *out = static_cast<int32_t>(wide);
    return 0;
}

namespace {

int raise_unpack_count(Py_ssize_t expected, Py_ssize_t got) {
    if (got > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    }
    return -1;
}

}  // namespace

int unpack_exact(PyObject* iterable, Py_ssize_t count, Ref* out) {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size != count) return raise_unpack_count(count, size);
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < count; ++i) out[i] = Ref::borrow(items[i]);
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) return PyErr_Occurred() ? -1 : raise_unpack_count(count, i);
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return raise_unpack_count(count, count + 1);
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tessarin
