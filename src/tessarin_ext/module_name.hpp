// The module's qualified name, and names made from it at compile time.
#pragma once

#include <cstddef>

#include "common/names.hpp"

namespace tessarin {

inline constexpr char module_name[] = "Quorvel.tessarin_ext";

// The file name that tracebacks and code objects show; the module has no
// Python source.
inline constexpr char traceback_file[] = "tessarin_ext.cpp";

// The file name of the Python code the module compiles for the host.
inline constexpr auto python_source_name = joined("<", module_name, ">");

// "<module_name>.<name>", NUL-terminated.
template <size_t N>
constexpr auto in_module(const char (&name)[N]) {
    return joined(module_name, ".", name);
}

}  // namespace tessarin
