#include "kernels/simd/cpu_features.hpp"

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#include <immintrin.h>
#endif

namespace tessarin::simd {

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))

// MSVC has no __builtin_cpu_supports: CPUID leaf 1 for OSXSAVE and AVX, XCR0
// for the operating system saving the XMM and YMM state, leaf 7 for AVX2.
bool cpu_has_avx2() noexcept {
    int registers[4];
    __cpuid(registers, 0);
    if (registers[0] < 7) return false;
    __cpuid(registers, 1);
    constexpr int osxsave = 1 << 27, avx = 1 << 28;
    if ((registers[2] & (osxsave | avx)) != (osxsave | avx)) return false;
    constexpr unsigned long long xmm_and_ymm_state = 0x6;
    if ((_xgetbv(0) & xmm_and_ymm_state) != xmm_and_ymm_state) return false;
    __cpuidex(registers, 7, 0);
    constexpr int avx2 = 1 << 5;
    return (registers[1] & avx2) != 0;
}

#elif defined(__x86_64__) || defined(__i386__)

// gcc's and clang's check reads CPUID and XCR0 once at start-up.
bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2"); }

#else

bool cpu_has_avx2() noexcept { return false; }

#endif

}  // namespace tessarin::simd
