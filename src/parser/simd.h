// Which vector instructions the kernels may use, from the compiler's target macros.
//
// CORVINA_SSE2: the target always has SSE2 (every x86-64), so its kernels run unconditionally.
// CORVINA_X86_DISPATCH: kernels for SSSE3 and AVX2 are compiled as well and picked at run time
// (cpu_features.h), so one build still runs on x86-64 processors without them.
// Elsewhere (aarch64 among others), and in builds with CORVINA_NO_SIMD, only the scalar paths
// are compiled.
#pragma once

#if !defined(CORVINA_NO_SIMD) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define CORVINA_SSE2 1
#include <emmintrin.h>
#endif

#if defined(CORVINA_SSE2) && (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(_MSC_VER))
#define CORVINA_X86_DISPATCH 1
#include <immintrin.h>
#endif

// A function compiled for an instruction set beyond the build's baseline. MSVC needs no mark:
// it accepts any intrinsic in any function.
#if defined(CORVINA_X86_DISPATCH) && defined(__GNUC__)
#define CORVINA_TARGET(isa) __attribute__((target(isa)))
#else
#define CORVINA_TARGET(isa)
#endif

// Everything defined between these is compiled for AVX2, templates included: a template
// instantiated for wide lanes must itself be compiled for them, or GCC refuses to inline the
// intrinsics into it. Such a region holds only code that runs after cpu_has_avx2().
#if defined(CORVINA_X86_DISPATCH) && defined(__clang__)
#define CORVINA_BEGIN_AVX2 \
  _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define CORVINA_END_AVX2 _Pragma("clang attribute pop")
#elif defined(CORVINA_X86_DISPATCH) && defined(__GNUC__)
#define CORVINA_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define CORVINA_END_AVX2 _Pragma("GCC pop_options")
#else
#define CORVINA_BEGIN_AVX2
#define CORVINA_END_AVX2
#endif
