#include "module/traceback.hpp"

#include <frameobject.h>

#include "common/errors.hpp"
#include "common/ref.hpp"
#include "tessarin_ext/module_name.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin {

namespace {

PyObject* make_code(const char* full_name) {
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(traceback_file, full_name, 1));
}

// Makes the code object with `make` and a frame for it while the pending
// exception is set aside, then records the frame in its traceback.
template <typename Make>
void with_exception_aside(Make&& make) {
    if (!state.module_dict) return;
    Ref frame;
    {
        // The original exception matters more than why its entry is missing.
        ExceptionAside aside;
        if (PyObject* code = make()) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), state.module_dict, nullptr)));
        }
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace

void add_traceback(const TracebackSite& site) {
    with_exception_aside([&site]() -> PyObject* {
        if (!site.code) {
            Ref name = Ref::steal(PyUnicode_FromFormat("%s.%s", module_name, site.qualname));
            if (!name) return nullptr;
            site.code = make_code(PyUnicode_AsUTF8(name.get()));
        }
        return site.code;
    });
}

void add_init_traceback() {
    Ref code;
    with_exception_aside([&]() -> PyObject* {
        Ref name = Ref::steal(PyUnicode_FromFormat("init %s", module_name));
        if (!name) return nullptr;
        code = Ref::steal(make_code(PyUnicode_AsUTF8(name.get())));
        return code.get();
    });
}

}  // namespace tessarin
