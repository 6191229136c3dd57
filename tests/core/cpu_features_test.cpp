#include "cpu_features.h"

#include <gtest/gtest.h>

namespace corvina {
namespace {

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(CORVINA_NO_SIMD)
// Under g++ the compiler's own table is filled in at start-up: our direct reading of the
// processor must agree with it (other toolchains may leave that table empty, which is why the
// processor is read directly).
TEST(cpu_features_test, agrees_with_the_compiler_runtime) {
  __builtin_cpu_init();
  EXPECT_EQ(cpu_has_ssse3(), __builtin_cpu_supports("ssse3") != 0);
  EXPECT_EQ(cpu_has_avx2(), __builtin_cpu_supports("avx2") != 0);
}
#endif

}  // namespace
}  // namespace corvina
