// Run-time choice of the kernels built with AVX2 in sources of their own
// (x86-64 builds): each caller in the baseline code asks avx2_usable() first.
#pragma once

namespace tessarin::simd {

// Whether the AVX2 kernels are built in, the processor has AVX2, and they
// have not been switched off.
bool avx2_usable() noexcept;

// Whether the AVX2 kernels are used where the processor has them (the
// default). Tests and benchmarks turn them off to check and measure the
// baseline kernels on the same machine; not to be changed while kernels run
// on other threads.
void allow_avx2_kernels(bool allowed) noexcept;

}  // namespace tessarin::simd
