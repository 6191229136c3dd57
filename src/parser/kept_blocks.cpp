#include "kept_blocks.h"

#include <cstdint>
#include <mutex>

#include "asan_poison.h"
#include "huge_pages.h"

// Blocks are mapped by hand where the system maps anonymous memory; everywhere else there are
// none, and every caller allocates the plain way.
#if !defined(CORVINA_NO_MMAP) && defined(__linux__) && __has_include(<sys/mman.h>)
#define CORVINA_KEPT_BLOCKS 1
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace corvina {

#if defined(CORVINA_KEPT_BLOCKS)
namespace {

struct Block {
  char* data;
  size_t size;
};

// Blocks are whole huge pages, so this many always hold kKeptBlockBytes.
constexpr size_t kMaxBlocks = kKeptBlockBytes / kHugePageBytes;

// Oldest first. Never destroyed: threads that end at exit may still give blocks back.
struct KeptBlocks {
  std::mutex mutex;
  Block blocks[kMaxBlocks];
  size_t count = 0;
  size_t bytes = 0;

  Block remove(size_t index) {
    const Block block = blocks[index];
    for (size_t i = index + 1; i < count; ++i) blocks[i - 1] = blocks[i];
    --count;
    bytes -= block.size;
    return block;
  }
};

void unmap(Block block) {
  CORVINA_ARENA_UNPOISON(block.data, block.size);
  munmap(block.data, block.size);
}

KeptBlocks& kept() {
  static KeptBlocks* const blocks = [] {
    auto* made = new KeptBlocks;
    // A child forked while another thread held the lock would wait for it forever; the lock is
    // taken around the fork, so both sides start with it free. The child keeps the blocks: they
    // are its own copies.
    (void)pthread_atfork([] { kept().mutex.lock(); }, [] { kept().mutex.unlock(); },
                         [] { kept().mutex.unlock(); });
    return made;
  }();
  return *blocks;
}

// A fresh mapping of `bytes`, aligned to a huge page: twice the alignment is mapped and the rest
// given back.
char* map_aligned(size_t bytes) {
  void* const mapped = mmap(nullptr, bytes + kHugePageBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (begin + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  if (aligned > begin) munmap(mapped, aligned - begin);
  const uintptr_t tail = aligned + bytes;
  const uintptr_t mapped_end = begin + bytes + kHugePageBytes;
  if (mapped_end > tail) munmap(reinterpret_cast<void*>(tail), mapped_end - tail);
  advise_huge_pages(reinterpret_cast<void*>(aligned), bytes);
  return reinterpret_cast<char*>(aligned);
}

}  // namespace

void* take_block(size_t bytes) {
  KeptBlocks& blocks = kept();
  std::unique_lock lock(blocks.mutex);
  size_t best = blocks.count;
  for (size_t i = 0; i < blocks.count; ++i) {
    if (blocks.blocks[i].size >= bytes &&
        (best == blocks.count || blocks.blocks[i].size < blocks.blocks[best].size)) {
      best = i;
    }
  }
  if (best < blocks.count) {
    const Block block = blocks.remove(best);
    lock.unlock();
    // Sizes are whole huge pages, so the cut leaves the rest on a huge page boundary.
    if (block.size > bytes) unmap({block.data + bytes, block.size - bytes});
    CORVINA_ARENA_UNPOISON(block.data, bytes);
    return block.data;
  }
  lock.unlock();
  if (char* const fresh = map_aligned(bytes)) return fresh;
  // Kept blocks count against the address space limit like any other mapping.
  release_kept_blocks();
  return map_aligned(bytes);
}

void give_back_block(void* block, size_t bytes) {
  const Block given{static_cast<char*>(block), bytes};
  // A block the kernel cannot take back when it needs the memory is not kept.
  if (bytes > kKeptBlockBytes || madvise(block, bytes, MADV_FREE) != 0) {
    unmap(given);
    return;
  }
  CORVINA_ARENA_POISON(given.data, given.size);
  Block evicted[kMaxBlocks];
  size_t evicted_count = 0;
  {
    KeptBlocks& blocks = kept();
    const std::lock_guard lock(blocks.mutex);
    while (blocks.count == kMaxBlocks || blocks.bytes + bytes > kKeptBlockBytes) {
      evicted[evicted_count++] = blocks.remove(0);
    }
    blocks.blocks[blocks.count++] = given;
    blocks.bytes += bytes;
  }
  for (size_t i = 0; i < evicted_count; ++i) unmap(evicted[i]);
}

void release_kept_blocks() {
  Block evicted[kMaxBlocks];
  size_t evicted_count = 0;
  {
    KeptBlocks& blocks = kept();
    const std::lock_guard lock(blocks.mutex);
    while (blocks.count > 0) evicted[evicted_count++] = blocks.remove(blocks.count - 1);
  }
  for (size_t i = 0; i < evicted_count; ++i) unmap(evicted[i]);
}

size_t kept_block_bytes() {
  KeptBlocks& blocks = kept();
  const std::lock_guard lock(blocks.mutex);
  return blocks.bytes;
}

#else

void* take_block(size_t) { return nullptr; }
void give_back_block(void*, size_t) {}
void release_kept_blocks() {}
size_t kept_block_bytes() { return 0; }

#endif

}  // namespace corvina
