// Switching the vector kernels (AVX2 on x86-64, NEON on aarch64) off for one
// test, so that the baseline kernels are checked on the same machine too.
#pragma once

#include "kernels/simd/avx2.hpp"
#include "kernels/simd/neon.hpp"

namespace tessarin::testing {

// Sets whether the AVX2 and NEON kernels may be used for one test, and
// restores the default after it.
class VectorKernels {
public:
    explicit VectorKernels(bool allowed) {
        simd::allow_avx2_kernels(allowed);
        simd::allow_neon_kernels(allowed);
    }
    ~VectorKernels() {
        simd::allow_avx2_kernels(true);
        simd::allow_neon_kernels(true);
    }
    VectorKernels(const VectorKernels&) = delete;
    VectorKernels& operator=(const VectorKernels&) = delete;
};

}  // namespace tessarin::testing
