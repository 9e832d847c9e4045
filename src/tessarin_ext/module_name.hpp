// The module's qualified name, and names qualified by it, made at compile
// time.
#pragma once

#include <array>
#include <cstddef>

namespace tessarin {

inline constexpr char module_name[] = "Quorvel.tessarin_ext";

// "<module_name>.<name>", NUL-terminated.
template <size_t N>
constexpr std::array<char, sizeof(module_name) + N> in_module(const char (&name)[N]) {
    std::array<char, sizeof(module_name) + N> full{};
    size_t at = 0;
    for (size_t i = 0; i + 1 < sizeof(module_name); ++i) full[at++] = module_name[i];
    full[at++] = '.';
    for (size_t i = 0; i < N; ++i) full[at++] = name[i];
    return full;
}

}  // namespace tessarin
