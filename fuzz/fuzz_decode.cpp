// libFuzzer target for the whole decode path of SimpleImage.open, and, built
// with FUZZ_HARNESS "load_target", of Quorvel.load and Quorvel.probe
// (fuzz_load). The fuzzer runs an embedded interpreter that imports the
// harness, fuzz/open_target.py or fuzz/load_target.py, which imports the
// modules built for fuzzing (-Dfuzzing=enabled; tools/fuzz.sh puts both on
// PYTHONPATH). Each input goes to the harness's fuzz_one(data); an
// exception from it is a finding: its traceback is printed and the process
// aborts, so that libFuzzer saves the input. Crashes and sanitizer reports in
// the module stop the process as in any libFuzzer target. Mutations go
// through fuzz/decode_mutator.py, which keeps PNG chunks and their CRCs
// whole, using libFuzzer's own mutator (offered to it as fuzz_driver.mutate)
// on the parts.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/ref.hpp"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

#ifndef FUZZ_HARNESS
#define FUZZ_HARNESS "open_target"
#endif

namespace {

using tessarin::Ref;

Ref fuzz_one, mutate;

[[noreturn]] void stop(const char* why) {
    std::fprintf(stderr, "fuzz_decode: %s\n", why);
    if (PyErr_Occurred()) PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

void check(PyStatus status) {
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

// fuzz_driver.mutate(data, max_size): libFuzzer's mutation of `data`, at
// most `max_size` bytes long.
PyObject* mutate_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    char* data;
    Py_ssize_t size;
    if (nargs != 2 || PyBytes_AsStringAndSize(args[0], &data, &size) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "mutate(data, max_size)");
        return nullptr;
    }
    const Py_ssize_t max_size = PyLong_AsSsize_t(args[1]);
    if (max_size < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "max_size must not be negative");
        return nullptr;
    }
    const size_t kept = static_cast<size_t>(std::min(size, max_size));
    std::vector<uint8_t> buffer(std::max<size_t>(static_cast<size_t>(max_size), 1));
    std::memcpy(buffer.data(), data, kept);
    const size_t length = LLVMFuzzerMutate(buffer.data(), kept, static_cast<size_t>(max_size));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()), static_cast<Py_ssize_t>(length));
}

PyMethodDef driver_methods[] = {
    {"mutate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mutate_bytes)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyModuleDef driver_module = {PyModuleDef_HEAD_INIT, "fuzz_driver", nullptr, -1, driver_methods,
                             nullptr, nullptr, nullptr, nullptr};

PyObject* init_driver_module() { return PyModule_Create(&driver_module); }

Ref bytes_of(const uint8_t* data, size_t size) {
    const auto* chars = reinterpret_cast<const char*>(data);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(chars, static_cast<Py_ssize_t>(size)));
    if (!bytes) stop("cannot make the input bytes");
    return bytes;
}

Ref import_function(const char* module_name, const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) stop("cannot import the fuzz harness (is PYTHONPATH set? run tools/fuzz.sh)");
    Ref function = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!function) stop("the fuzz harness lacks a function");
    return function;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every allocation of the interpreter goes through malloc, so that the
    // sanitizer sees overruns of pixel buffers and byte strings.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    check(Py_PreInitialize(&preconfig));
    if (PyImport_AppendInittab("fuzz_driver", init_driver_module) < 0) stop("cannot add fuzz_driver");
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // libFuzzer's handlers (interrupt, timeout) stay in place.
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    check(status);

    fuzz_one = import_function(FUZZ_HARNESS, "fuzz_one");
    mutate = import_function("decode_mutator", "mutate");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ref input = bytes_of(data, size);
    Ref outcome = Ref::steal(PyObject_CallOneArg(fuzz_one.get(), input.get()));
    if (!outcome) stop("finding");
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    Ref input = bytes_of(data, size);
    Ref limit = Ref::steal(PyLong_FromSize_t(max_size));
    Ref seed_value = Ref::steal(PyLong_FromUnsignedLong(seed));
    if (!limit || !seed_value) stop("cannot make the mutator's arguments");
    PyObject* args[] = {input.get(), limit.get(), seed_value.get()};
    Ref mutated = Ref::steal(PyObject_Vectorcall(mutate.get(), args, 3, nullptr));
    if (!mutated || !PyBytes_Check(mutated.get())) stop("the mutator failed");
    const size_t length = std::min(static_cast<size_t>(PyBytes_GET_SIZE(mutated.get())), max_size);
    std::memcpy(data, PyBytes_AS_STRING(mutated.get()), length);
    return length;
}
