// Names joined at compile time: a module's qualified name with a name in it,
// the names of types and of code the module makes.
#pragma once

#include <array>
#include <cstddef>

namespace tessarin {

// The strings `parts` one after the other, NUL-terminated.
template <size_t... N>
constexpr std::array<char, (N + ...) - sizeof...(N) + 1> joined(const char (&... parts)[N]) {
    std::array<char, (N + ...) - sizeof...(N) + 1> full{};
    size_t at = 0;
    const auto append = [&](const char* part, size_t size) {
        for (size_t i = 0; i + 1 < size; ++i) full[at++] = part[i];
    };
    (append(parts, N), ...);
    return full;
}

static_assert(joined("a.b", ".", "c")[4] == 'c' && joined("a.b", ".", "c").size() == 6);

}  // namespace tessarin
