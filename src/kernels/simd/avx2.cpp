#include "kernels/simd/avx2.hpp"

#include "kernels/simd/cpu_features.hpp"

namespace tessarin::simd {
namespace {

bool avx2_allowed = true;

}  // namespace

bool avx2_usable() noexcept {
#if defined(TESSARIN_AVX2_KERNELS)
    return avx2_allowed && cpu_has_avx2();
#else
    return false;
#endif
}

void allow_avx2_kernels(bool allowed) noexcept { avx2_allowed = allowed; }

}  // namespace tessarin::simd
