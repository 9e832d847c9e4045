#include "kernels/simd/neon.hpp"

namespace tessarin::simd {
namespace {

bool neon_allowed = true;

}  // namespace

bool neon_usable() noexcept {
#if defined(TESSARIN_NEON_KERNELS)
    return neon_allowed;
#else
    return false;
#endif
}

void allow_neon_kernels(bool allowed) noexcept { neon_allowed = allowed; }

}  // namespace tessarin::simd
