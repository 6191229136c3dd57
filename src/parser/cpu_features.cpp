#include "cpu_features.h"

#include "simd.h"

#if defined(CORVINA_X86_DISPATCH) && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace corvina {

#if defined(CORVINA_X86_DISPATCH) && defined(_MSC_VER) && !defined(__clang__)
namespace {

struct CpuidWords {
  int words[4];  // EAX, EBX, ECX, EDX
};

CpuidWords cpuid(int leaf) {
  CpuidWords out;
  __cpuidex(out.words, leaf, 0);
  return out;
}

// The processor may have the instructions while the system does not save their registers:
// OSXSAVE says XGETBV works, and its bits 1 and 2 that XMM and YMM state are saved.
bool system_saves_ymm(const CpuidWords& leaf1) {
  constexpr int kOsxsave = 1 << 27;
  constexpr int kAvx = 1 << 28;
  if ((leaf1.words[2] & kOsxsave) == 0 || (leaf1.words[2] & kAvx) == 0) return false;
  return (_xgetbv(0) & 0x6) == 0x6;
}

}  // namespace

// CPUID is slow (and traps to the hypervisor in a virtual machine): each answer is read once.
bool cpu_has_ssse3() {
  static const bool has = (cpuid(1).words[2] & (1 << 9)) != 0;
  return has;
}

bool cpu_has_avx2() {
  static const bool has = cpuid(0).words[0] >= 7 && system_saves_ymm(cpuid(1)) &&
                          (cpuid(7).words[1] & (1 << 5)) != 0;
  return has;
}

#elif defined(CORVINA_X86_DISPATCH)

// GCC's and Clang's runtime reads CPUID once at start-up, XGETBV included.
bool cpu_has_ssse3() { return __builtin_cpu_supports("ssse3"); }
bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

#else

bool cpu_has_ssse3() { return false; }
bool cpu_has_avx2() { return false; }

#endif

}  // namespace corvina
