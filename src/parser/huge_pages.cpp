#include "huge_pages.h"

#include <cstdint>

// Huge pages are a Linux notion (MADV_HUGEPAGE); elsewhere the advice is left out.
#if !defined(CORVINA_NO_MMAP) && defined(__linux__) && __has_include(<sys/mman.h>)
#define CORVINA_HUGE_PAGE_ADVICE 1
#include <sys/mman.h>
#endif

namespace corvina {

void advise_huge_pages(void* data, size_t size) {
#if defined(CORVINA_HUGE_PAGE_ADVICE)
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const uintptr_t last = (begin + size) & ~(kHugePageBytes - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace corvina
