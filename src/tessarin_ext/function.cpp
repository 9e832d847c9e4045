#include "tessarin_ext/function.hpp"

#include "tessarin_ext/module_name.hpp"
#include "tessarin_ext/state.hpp"

namespace tessarin {

namespace {

constexpr auto function_type_name = in_module("function");
PyTypeObject function_type;

}  // namespace

int function_type_ready() { return function_type_ready(function_type, function_type_name.data(), state.home); }

PyObject* make_function(const EntryPoint& entry) { return make_function(function_type, state.home, entry); }

void add_traceback(const TracebackSite& site) { add_traceback(state.home, site); }

void add_init_traceback() { add_init_traceback(state.home); }

}  // namespace tessarin
