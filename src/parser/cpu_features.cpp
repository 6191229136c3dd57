#include "cpu_features.h"

#include <cstdint>

#include "simd.h"

#if defined(CORVINA_X86_DISPATCH)
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace corvina {

#if defined(CORVINA_X86_DISPATCH)
namespace {

struct CpuidWords {
  uint32_t eax, ebx, ecx, edx;
};

// The processor is asked directly rather than through __builtin_cpu_supports: that reads a
// table which the compiler's runtime fills in at start-up, and a module linked by another
// toolchain (Zig's, for the wheels) may find it never filled, every feature then reading false.
CpuidWords cpuid(uint32_t leaf) {
#if defined(_MSC_VER) && !defined(__clang__)
  int words[4];
  __cpuidex(words, static_cast<int>(leaf), 0);
  return {static_cast<uint32_t>(words[0]), static_cast<uint32_t>(words[1]),
          static_cast<uint32_t>(words[2]), static_cast<uint32_t>(words[3])};
#else
  CpuidWords out{};
  __cpuid_count(leaf, 0, out.eax, out.ebx, out.ecx, out.edx);
  return out;
#endif
}

uint64_t read_xcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  uint32_t low = 0;
  uint32_t high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (uint64_t{high} << 32) | low;
#endif
}

// The processor may have the instructions while the system does not save their registers:
// OSXSAVE says XGETBV works, and its bits 1 and 2 that XMM and YMM state are saved.
bool system_saves_ymm(const CpuidWords& leaf1) {
  constexpr uint32_t kOsxsave = 1u << 27;
  constexpr uint32_t kAvx = 1u << 28;
  if ((leaf1.ecx & kOsxsave) == 0 || (leaf1.ecx & kAvx) == 0) return false;
  return (read_xcr0() & 0x6) == 0x6;
}

}  // namespace

// CPUID is slow (and traps to the hypervisor in a virtual machine): each answer is read once.
bool cpu_has_ssse3() {
  static const bool has = (cpuid(1).ecx & (1u << 9)) != 0;
  return has;
}

bool cpu_has_avx2() {
  static const bool has =
      cpuid(0).eax >= 7 && system_saves_ymm(cpuid(1)) && (cpuid(7).ebx & (1u << 5)) != 0;
  return has;
}

#else

bool cpu_has_ssse3() { return false; }
bool cpu_has_avx2() { return false; }

#endif

}  // namespace corvina
