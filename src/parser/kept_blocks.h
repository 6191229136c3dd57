// Large blocks for buffers that are written once and freed whole: the text store's chunks and
// the tables' columns.
//
// The kernel clears every page it hands out, and for a parse and a table of 50 MB that clearing
// took a fifth of the processor time. A freed block is therefore kept, up to kKeptBlockBytes in
// all, and handed to the next parse or table instead of fresh pages. Kept blocks are marked as
// free for the kernel (MADV_FREE): under memory pressure it takes their pages back without
// writing them anywhere, and a later write gets a cleared page again.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "huge_pages.h"

namespace corvina {

// Whether blocks are mapped here at all: where the system maps no anonymous memory, every
// caller allocates the plain way.
#if !defined(CORVINA_NO_MMAP) && defined(__linux__) && __has_include(<sys/mman.h>)
#define CORVINA_KEPT_BLOCKS 1
inline constexpr bool kBlocksAreKept = true;
#else
inline constexpr bool kBlocksAreKept = false;
#endif

// The freed bytes kept for reuse, at most; the blocks freed last are the ones kept.
inline constexpr size_t kKeptBlockBytes = size_t{128} << 20;

// A block of `bytes` (a multiple of kHugePageBytes), aligned to a huge page and advised onto huge
// pages, its contents undefined: a kept block of that size or larger (cut to size), else a fresh
// mapping. nullptr where the system maps no anonymous memory or has none left; the caller then
// allocates the plain way.
void* take_block(size_t bytes);

// Gives back a block from take_block, with the size it was taken with. Never fails.
void give_back_block(void* block, size_t bytes);

// Unmaps every kept block; a mapping that fails tries this before giving up.
void release_kept_blocks();

// The bytes kept now, for tests.
size_t kept_block_bytes();

// For a vector that grows to many megabytes once (a statement's documents): its storage of a
// huge page or more is a kept block, anything smaller the heap's. Which one is decided by the
// size alone, so that the storage goes back where it came from.
template <typename T>
struct KeptBlockAllocator {
  using value_type = T;

  KeptBlockAllocator() = default;
  template <typename U>
  KeptBlockAllocator(const KeptBlockAllocator<U>&) noexcept {}

  static size_t block_size(size_t count) {
    const size_t bytes = count * sizeof(T);
    if (!kBlocksAreKept || bytes < kHugePageBytes) return 0;
    return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  }
  T* allocate(size_t count) {
    const size_t block = block_size(count);
    if (block == 0) return std::allocator<T>().allocate(count);
    void* const data = take_block(block);
    if (data == nullptr) throw std::bad_alloc();
    return static_cast<T*>(data);
  }
  void deallocate(T* data, size_t count) noexcept {
    const size_t block = block_size(count);
    if (block == 0) {
      std::allocator<T>().deallocate(data, count);
      return;
    }
    give_back_block(data, block);
  }
  template <typename U>
  bool operator==(const KeptBlockAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace corvina
