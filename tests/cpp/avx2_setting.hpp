// Switching the AVX2 kernels off for one test, so that the baseline kernels
// are checked on processors that have AVX2 too.
#pragma once

#include "simd/avx2.hpp"

namespace tessarin::testing {

// Sets whether the AVX2 kernels may be used for one test, and restores the
// default after it.
class Avx2Setting {
public:
    explicit Avx2Setting(bool allowed) { simd::allow_avx2_kernels(allowed); }
    ~Avx2Setting() { simd::allow_avx2_kernels(true); }
    Avx2Setting(const Avx2Setting&) = delete;
    Avx2Setting& operator=(const Avx2Setting&) = delete;
};

}  // namespace tessarin::testing
