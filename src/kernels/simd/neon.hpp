// The NEON kernels (aarch64 builds), in sources of their own. NEON is part
// of every aarch64 processor, so they are chosen when the module is built;
// each caller in the baseline code still asks neon_usable() first, so that
// tests and benchmarks can check the scalar kernels on the same machine.
#pragma once

namespace tessarin::simd {

// Whether the NEON kernels are built in and have not been switched off.
bool neon_usable() noexcept;

// Whether the NEON kernels are used (the default). Not to be changed while
// kernels run on other threads.
void allow_neon_kernels(bool allowed) noexcept;

}  // namespace tessarin::simd
