// What the processor running the module offers, asked once per call site's
// caller: the x86-64 instruction-set extensions the kernels can use.
#pragma once

namespace tessarin::simd {

// Whether the processor and the operating system support AVX2 (the register
// state saved on context switches included). Always false off x86-64.
bool cpu_has_avx2() noexcept;

}  // namespace tessarin::simd
