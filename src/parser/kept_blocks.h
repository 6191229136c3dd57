// Large blocks for buffers that are written once and freed whole: the text store's chunks and
// the tables' columns.
//
// The kernel clears every page it hands out, and for a parse and a table of 50 MB that clearing
// took nearly a fifth of the processor time. A freed block is therefore kept and handed to the
// next parse or table instead of fresh pages: kKeptBlockBytes of them for good, and beyond that
// those freed in the last kRecentBlockTime, so that a loop over statements of hundreds of
// megabytes reuses its memory too (on a virtual machine whose host takes back the pages its
// guest frees, a fresh page there cost up to ten times its clearing). A thread of its own
// unmaps the others as they age, and ends when none are left. Blocks kept longer than
// kRecentBlockTime are marked as free for the kernel (MADV_FREE) by that thread: under memory
// pressure it takes their pages back without writing them anywhere, and a later write gets a
// cleared page again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "huge_pages.h"

// Blocks are mapped by hand where the system maps anonymous memory; everywhere else there are
// none, and every caller allocates the plain way.
#if !defined(CORVINA_NO_MMAP) && defined(__linux__) && __has_include(<sys/mman.h>)
#define CORVINA_KEPT_BLOCKS 1
#endif

namespace corvina {

// The freed bytes kept for as long as nothing needs them; the blocks freed last are the ones
// kept.
inline constexpr size_t kKeptBlockBytes = size_t{128} << 20;
// How long the blocks beyond kKeptBlockBytes are kept after they are freed, and how long any
// block is kept before it is marked free for the kernel.
inline constexpr std::chrono::steady_clock::duration kRecentBlockTime = std::chrono::seconds(2);
// The freed bytes kept at most, however recent.
inline constexpr size_t kMostKeptBlockBytes = (sizeof(void*) >= 8 ? size_t{4096} : 512) << 20;

// A block of `bytes` (a multiple of kHugePageBytes), aligned to a huge page and advised onto huge
// pages, its contents undefined: a kept block of that size or larger (cut to size, the rest
// kept), else a fresh mapping. nullptr where the system maps no anonymous memory or has none
// left; the caller then allocates the plain way.
void* take_block(size_t bytes);

// Gives back a block from take_block, with the size it was taken with. Never fails.
void give_back_block(void* block, size_t bytes);

// Unmaps every kept block; a mapping that fails tries this before giving up.
void release_kept_blocks();

// Unmaps the blocks that the trimming thread will have unmapped `later` from now, and marks free
// those it will have marked, at once; returns the bytes kept then. For tests.
size_t trim_kept_blocks(std::chrono::steady_clock::duration later);

// The bytes kept now, for tests.
size_t kept_block_bytes();

// The bytes kept now and not yet marked free for the kernel, for tests.
size_t unmarked_block_bytes();

// An allocator that takes a list of Blocks::kFromBytes or more from Blocks (take: nullptr when
// no memory is left; give_back, with the size it was taken with), and a smaller one from the
// heap.
template <typename T, typename Blocks>
struct BlockListAllocator {
  using value_type = T;

  BlockListAllocator() = default;
  template <typename U>
  BlockListAllocator(const BlockListAllocator<U, Blocks>&) noexcept {}

  T* allocate(size_t count) {
#if defined(CORVINA_KEPT_BLOCKS)
    if (count >= Blocks::kFromBytes / sizeof(T)) {
      // Room to round the size up to whole huge pages.
      if (count > (SIZE_MAX - kHugePageBytes) / sizeof(T)) throw std::bad_array_new_length();
      // A fresh mapping fails only when the memory or the address space has run out.
      if (void* const block = Blocks::take(count * sizeof(T))) return static_cast<T*>(block);
      throw std::bad_alloc();
    }
#endif
    return std::allocator<T>().allocate(count);
  }
  void deallocate(T* data, size_t count) noexcept {
#if defined(CORVINA_KEPT_BLOCKS)
    if (count >= Blocks::kFromBytes / sizeof(T)) {
      Blocks::give_back(data, count * sizeof(T));
      return;
    }
#endif
    std::allocator<T>().deallocate(data, count);
  }

  template <typename U>
  bool operator==(const BlockListAllocator<U, Blocks>&) const noexcept {
    return true;
  }
};

// Lists that grow to hundreds of megabytes (a statement's documents): a list of kKeptListBytes
// or more lies in kept blocks, so that a loop over large statements reuses its pages, where the
// heap maps every such list afresh and unmaps it when freed. From one huge page up, not from
// 32 MiB, where glibc stops reusing freed blocks of its own: on a thread other than the main one
// (a pool's), lists of a few megabytes were faulted in afresh at every parse, and a pool's
// thread parsed markedly slower than the main thread.
inline constexpr size_t kKeptListBytes = kHugePageBytes;

struct KeptListBlocks {
  static constexpr size_t kFromBytes = kKeptListBytes;
  static void* take(size_t bytes) { return take_block(whole_huge_pages(bytes)); }
  static void give_back(void* block, size_t bytes) {
    give_back_block(block, whole_huge_pages(bytes));
  }
};

template <typename T>
using KeptBlockAllocator = BlockListAllocator<T, KeptListBlocks>;

// Lists that grow to megabytes side by side while a statement is read (a header's entries and
// its index, the accounts, their filings and their index): from kMappedListBytes up, a mapping
// of their own, unmapped when freed, and never kept. From the heap, each large block freed as a
// list grew raised glibc's bar for mapping a block, so the lists growing beside it came from the
// heap, and stayed resident there once freed, under the Python objects that a parse makes of
// them next.
inline constexpr size_t kMappedListBytes = size_t{1} << 20;

// A fresh mapping of `bytes` (kMappedListBytes or more), or nullptr when there is none to have.
void* map_list(size_t bytes);
// Unmaps a block from map_list, with the size it was mapped with.
void unmap_list(void* block, size_t bytes);

struct MappedListBlocks {
  static constexpr size_t kFromBytes = kMappedListBytes;
  static void* take(size_t bytes) { return map_list(bytes); }
  static void give_back(void* block, size_t bytes) { unmap_list(block, bytes); }
};

template <typename T>
using MappedListAllocator = BlockListAllocator<T, MappedListBlocks>;

}  // namespace corvina
