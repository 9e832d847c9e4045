#include "common/traceback.hpp"

#include <frameobject.h>

#include "common/errors.hpp"
#include "common/ref.hpp"

namespace tessarin {

namespace {

PyObject* make_code(const ModuleHome& home, const char* full_name) {
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(home.source_file, full_name, 1));
}

// Makes the code object with `make` and a frame for it while the pending
// exception is set aside, then records the frame in its traceback.
template <typename Make>
void with_exception_aside(const ModuleHome& home, Make&& make) {
    if (!home.dict) return;
    Ref frame;
    {
        // The original exception matters more than why its entry is missing.
        ExceptionAside aside;
        if (PyObject* code = make()) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), home.dict, nullptr)));
        }
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace

void add_traceback(const ModuleHome& home, const TracebackSite& site) {
    with_exception_aside(home, [&]() -> PyObject* {
        if (!site.code) {
            Ref name = Ref::steal(PyUnicode_FromFormat("%s.%s", home.name, site.qualname));
            if (!name) return nullptr;
            site.code = make_code(home, PyUnicode_AsUTF8(name.get()));
        }
        return site.code;
    });
}

void add_init_traceback(const ModuleHome& home) {
    Ref code;
    with_exception_aside(home, [&]() -> PyObject* {
        Ref name = Ref::steal(PyUnicode_FromFormat("init %s", home.name));
        if (!name) return nullptr;
        code = Ref::steal(make_code(home, PyUnicode_AsUTF8(name.get())));
        return code.get();
    });
}

}  // namespace tessarin
