// What the processor we run on can do, for kernels that are chosen at run time.
#pragma once

namespace corvina {

// True when both the processor and the operating system support the instructions (for AVX2,
// the system must also save the wide registers on a thread switch). False on other
// architectures, where the check is unknown, and in builds without SIMD kernels.
bool cpu_has_ssse3();
bool cpu_has_avx2();

}  // namespace corvina
