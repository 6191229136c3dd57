// Asking the kernel to back large, fresh buffers with huge pages.
#pragma once

#include <cstddef>

namespace corvina {

inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// `bytes` rounded up to whole huge pages; bytes must leave room for the rounding.
inline constexpr size_t whole_huge_pages(size_t bytes) {
  return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

// Marks the whole huge pages within [data, data + size) as wanted on huge pages, so that the
// first writes to a buffer of hundreds of megabytes fault once per 2 MiB instead of once per
// 4 KiB. Only advice: where the kernel has no transparent huge pages, or the range holds no
// whole huge page, nothing changes.
void advise_huge_pages(void* data, size_t size);

}  // namespace corvina
