#include "tessarin_ext/host.hpp"

#include "common/errors.hpp"

namespace tessarin::host {

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.home.dict, name);
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(state.builtins_dict, name);
    if (found) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

int check_signals() { return check_signals(state.constants.signal_check); }

Ref exit_context(PyObject* exit, Ref result) {
    if (result) {
        Ref exit_result = call(exit, Py_None, Py_None, Py_None);
        if (!exit_result) return {};
        return result;
    }
    SavedError error = SavedError::take_pending_normalized();
    Ref exit_result = call(exit, error.type(), error.value(), error.traceback());
    if (!exit_result) return {};
    int suppress = PyObject_IsTrue(exit_result.get());
    if (suppress < 0) return {};
    if (suppress) return Ref::borrow(Py_None);
    error.restore();
    return {};
}

int import_from(const char* module, PyObject* const* names, Py_ssize_t count, Ref* results) {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    if (!module_name) return -1;
    Ref from_list = Ref::steal(PyList_New(count));
    if (!from_list) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(names[i]);
        PyList_SET_ITEM(from_list.get(), i, names[i]);
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), state.home.dict, nullptr, from_list.get(), 0));
    if (!imported) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        results[i] = Ref::steal(PyObject_GetAttr(imported.get(), names[i]));
        if (results[i]) continue;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        // The host's submodule rule: sys.modules["<module>.<name>"].
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%U", module, names[i]));
        if (!full_name) return -1;
        PyObject* submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());
        if (!submodule) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", names[i]);
            return -1;
        }
        results[i] = Ref::borrow(submodule);
    }
    return 0;
}

}  // namespace tessarin::host
