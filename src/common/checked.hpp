// Integer arithmetic that reports overflow instead of wrapping or invoking
// undefined behaviour: sizes and byte offsets computed from dimensions that
// callers choose. gcc and clang have builtins for this; other compilers
// (MSVC) get the portable forms, which the kernel tests check against the
// builtins at the edges of each type.
#pragma once

#include <concepts>
#include <limits>
#include <type_traits>

#if defined(__has_builtin)
#if __has_builtin(__builtin_add_overflow) && __has_builtin(__builtin_mul_overflow)
#define TESSARIN_OVERFLOW_BUILTINS 1
#endif
#endif

namespace tessarin {

namespace portable {

// a + b into `sum` when it is representable in T; false, `sum` untouched,
// when not.
template <std::integral T>
constexpr bool add(T a, T b, T& sum) noexcept {
    constexpr T most = std::numeric_limits<T>::max();
    constexpr T least = std::numeric_limits<T>::min();
    if constexpr (std::is_signed_v<T>) {
        if ((b > 0 && a > most - b) || (b < 0 && a < least - b)) return false;
    } else {
        if (a > most - b) return false;
    }
    sum = static_cast<T>(a + b);
    return true;
}

// a * b into `product` when it is representable in T; false, `product`
// untouched, when not. Division truncates toward zero, which makes each
// bound below the exact one for integer operands.
template <std::integral T>
constexpr bool mul(T a, T b, T& product) noexcept {
    constexpr T most = std::numeric_limits<T>::max();
    constexpr T least = std::numeric_limits<T>::min();
    if (a != 0 && b != 0) {
        if constexpr (std::is_signed_v<T>) {
            const bool overflows = a > 0 ? (b > 0 ? a > most / b : b < least / a)
                                         : (b > 0 ? a < least / b : a < most / b);
            if (overflows) return false;
        } else {
            if (a > most / b) return false;
        }
    }
    product = static_cast<T>(a * b);
    return true;
}

}  // namespace portable

// a + b into `sum` when representable in T, else false with `sum` untouched.
template <std::integral T>
constexpr bool checked_add(T a, T b, T& sum) noexcept {
#if defined(TESSARIN_OVERFLOW_BUILTINS)
    T result;
    if (__builtin_add_overflow(a, b, &result)) return false;
    sum = result;
    return true;
#else
    return portable::add(a, b, sum);
#endif
}

// a * b into `product` when representable in T, else false with `product`
// untouched.
template <std::integral T>
constexpr bool checked_mul(T a, T b, T& product) noexcept {
#if defined(TESSARIN_OVERFLOW_BUILTINS)
    T result;
    if (__builtin_mul_overflow(a, b, &result)) return false;
    product = result;
    return true;
#else
    return portable::mul(a, b, product);
#endif
}

}  // namespace tessarin
