#include "kept_blocks.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "asan_poison.h"
#include "huge_pages.h"
#include "shared_work.h"

#if defined(CORVINA_KEPT_BLOCKS)
#include <pthread.h>
#include <sys/mman.h>

#include <thread>
#endif

namespace corvina {

#if defined(CORVINA_KEPT_BLOCKS)
namespace {

using Clock = std::chrono::steady_clock;

struct Block {
  char* data;
  size_t size;
  Clock::time_point freed;
  bool marked_free;  // given to the kernel to take (MADV_FREE)
};

// Blocks are whole huge pages, so this many always hold kMostKeptBlockBytes.
constexpr size_t kMaxBlocks = kMostKeptBlockBytes / kHugePageBytes;

// Oldest first. Never destroyed: threads that end at exit may still give blocks back, and the
// trimming thread may still be waiting to look at it again.
struct KeptBlocks {
  std::mutex mutex;
  Block blocks[kMaxBlocks];
  size_t count = 0;
  size_t bytes = 0;
  bool trimming = false;  // a trimming thread runs

  Block remove(size_t index) {
    const Block block = blocks[index];
    for (size_t i = index + 1; i < count; ++i) blocks[i - 1] = blocks[i];
    --count;
    bytes -= block.size;
    return block;
  }
  // The oldest block when the blocks beyond the lasting share may go by `now`.
  bool oldest_expired(Clock::time_point now) const {
    return bytes > kKeptBlockBytes && blocks[0].freed + kRecentBlockTime <= now;
  }
  // The oldest block not yet marked free, if any, whether or not it is due.
  size_t oldest_unmarked() const {
    size_t i = 0;
    while (i < count && blocks[i].marked_free) ++i;
    return i;
  }
};

void unmap(Block block) {
  CORVINA_ARENA_UNPOISON(block.data, block.size);
  munmap(block.data, block.size);
}

KeptBlocks& kept();

// Unmaps the oldest kept block for as long as `more()` holds, letting go of the lock around each
// unmapping.
template <typename More>
void unmap_oldest_while(std::unique_lock<std::mutex>& lock, More&& more) {
  KeptBlocks& blocks = kept();
  while (blocks.count > 0 && more()) {
    const Block old = blocks.remove(0);
    lock.unlock();
    unmap(old);
    lock.lock();
  }
}

KeptBlocks& kept() {
  static KeptBlocks* const blocks = [] {
    auto* made = new KeptBlocks;
    // A child forked while another thread held the lock would wait for it forever; the lock is
    // taken around the fork, so both sides start with it free. The child keeps the blocks (they
    // are its own copies) but not the trimming thread: it starts its own when it needs one.
    (void)pthread_atfork([] { kept().mutex.lock(); }, [] { kept().mutex.unlock(); },
                         [] {
                           kept().trimming = false;
                           kept().mutex.unlock();
                         });
    return made;
  }();
  return *blocks;
}

// Made as the library loads, for the reason the waiting threads are (shared_work.cpp): made by
// the first block kept, it could be half made when another thread forks, and the child would
// wait forever for it.
[[maybe_unused]] KeptBlocks& kept_blocks_at_load = kept();

// Marks the blocks kept since `aged` or earlier as free for the kernel, one call at a time with
// the lock held (a block being marked must not be handed out: a write that the marking
// overtook could be lost), letting go of the lock between blocks. A block the kernel cannot
// take back when it needs the memory is not kept.
void mark_aged_free(std::unique_lock<std::mutex>& lock, Clock::time_point aged) {
  KeptBlocks& blocks = kept();
  for (size_t i; (i = blocks.oldest_unmarked()) < blocks.count && blocks.blocks[i].freed <= aged;) {
    Block& block = blocks.blocks[i];
    if (madvise(block.data, block.size, MADV_FREE) == 0) {
      block.marked_free = true;
      lock.unlock();
    } else {
      const Block old = blocks.remove(i);
      lock.unlock();
      unmap(old);
    }
    lock.lock();
  }
}

// What the trimming thread does at `now`: the blocks beyond the lasting share that are no
// longer recent go, and those kept that are no longer recent are marked free.
void trim_at(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
  KeptBlocks& blocks = kept();
  unmap_oldest_while(lock, [&blocks, now] { return blocks.oldest_expired(now); });
  mark_aged_free(lock, now - kRecentBlockTime);
}

// Unmaps the blocks beyond the lasting share and marks the others free as they age, then ends.
// One runs while any block is unmarked or beyond the lasting share.
void trim_as_blocks_age() {
  KeptBlocks& blocks = kept();
  std::unique_lock lock(blocks.mutex);
  for (;;) {
    trim_at(lock, Clock::now());
    const size_t unmarked = blocks.oldest_unmarked();
    if (blocks.bytes <= kKeptBlockBytes && unmarked == blocks.count) break;
    // Blocks taken meanwhile only make the wait longer, so a sleep does: nothing wakes it.
    Clock::time_point due = Clock::time_point::max();
    if (blocks.bytes > kKeptBlockBytes) due = blocks.blocks[0].freed;
    if (unmarked < blocks.count) due = std::min(due, blocks.blocks[unmarked].freed);
    lock.unlock();
    std::this_thread::sleep_until(due + kRecentBlockTime);
    lock.lock();
  }
  blocks.trimming = false;
}

// Starts the trimming thread. Where no thread can be started, the blocks beyond the lasting
// share go now, and the others are marked free now.
void start_trimming() {
  if (start_detached_thread(trim_as_blocks_age)) return;
  {
    KeptBlocks& blocks = kept();
    const std::lock_guard lock(blocks.mutex);
    blocks.trimming = false;
  }
  // Every block was freed before now, so all of them count as aged by then.
  trim_kept_blocks(kRecentBlockTime);
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

// A block of `bytes` made of kept blocks that are each too small for it: their pages are moved
// (mremap), not copied, into one fresh range of that size. The text store takes its chunks one
// huge page at a time, so in a loop over large statements the blocks kept are mostly of that
// size, and a document list that outgrew them was mapped afresh at every parse, while as much
// memory as it needed lay kept; on a host that takes back its guest's free pages, each fresh
// huge page written costs far more than moving kept pages. Only when the kept blocks hold the whole size: a statement
// larger than all of them does not take every block the next ones would reuse. The newest
// blocks go first, as the least likely to have been marked free; the last one taken is cut to
// size. They are moved with the lock held, as blocks are marked, so that nothing is allocated
// while blocks are out of the list. A part whose move fails is fresh memory like any other.
// nullptr when too little is kept, or when no range can be mapped.
char* gathered_block(size_t bytes) {
  KeptBlocks& blocks = kept();
  {
    const std::lock_guard lock(blocks.mutex);
    if (blocks.bytes < bytes) return nullptr;
  }
  char* const range = map_aligned(bytes);
  if (range == nullptr) return nullptr;
  const std::lock_guard lock(blocks.mutex);
  // Taken by other threads meanwhile: the range is a fresh block like any other.
  if (blocks.bytes < bytes) return range;
  for (size_t offset = 0; offset < bytes;) {
    Block& newest = blocks.blocks[blocks.count - 1];
    char* const part = newest.data;
    const size_t size = std::min(newest.size, bytes - offset);
    if (size == newest.size) {
      blocks.remove(blocks.count - 1);
    } else {
      newest.data += size;
      newest.size -= size;
      blocks.bytes -= size;
    }
    CORVINA_ARENA_UNPOISON(part, size);
    if (mremap(part, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, range + offset) == MAP_FAILED) {
      munmap(part, size);
    }
    offset += size;
  }
  CORVINA_ARENA_UNPOISON(range, bytes);
  return range;
}

}  // namespace

void* take_block(size_t bytes) {
  KeptBlocks& blocks = kept();
  {
    const std::lock_guard lock(blocks.mutex);
    size_t best = blocks.count;
    for (size_t i = 0; i < blocks.count; ++i) {
      if (blocks.blocks[i].size >= bytes &&
          (best == blocks.count || blocks.blocks[i].size < blocks.blocks[best].size)) {
        best = i;
      }
    }
    if (best < blocks.count) {
      Block& block = blocks.blocks[best];
      char* const taken = block.data;
      if (block.size > bytes) {
        // Sizes are whole huge pages, so the rest starts on a huge page boundary; it stays
        // where it was among the others, as old as it was.
        block.data += bytes;
        block.size -= bytes;
        blocks.bytes -= bytes;
      } else {
        blocks.remove(best);
      }
      CORVINA_ARENA_UNPOISON(taken, bytes);
      return taken;
    }
  }
  if (char* const gathered = gathered_block(bytes)) return gathered;
  if (char* const fresh = map_aligned(bytes)) return fresh;
  // Kept blocks count against the address space limit like any other mapping.
  release_kept_blocks();
  return map_aligned(bytes);
}

// A block is marked free for the kernel only once it has been kept for kRecentBlockTime: in a
// loop over statements the next parse takes it back long before, and marking it on every
// return cost a call to the kernel per block (most of a large statement's freeing, all
// on the caller's thread), and the first write after it more.
void give_back_block(void* block, size_t bytes) {
  const Block given{static_cast<char*>(block), bytes, Clock::now(), false};
  if (bytes > kMostKeptBlockBytes) {
    unmap(given);
    return;
  }
  CORVINA_ARENA_POISON(given.data, given.size);
  KeptBlocks& blocks = kept();
  std::unique_lock lock(blocks.mutex);
  unmap_oldest_while(lock, [&blocks, bytes] {
    return blocks.count == kMaxBlocks || blocks.bytes + bytes > kMostKeptBlockBytes;
  });
  blocks.blocks[blocks.count++] = given;
  blocks.bytes += bytes;
  if (blocks.trimming) return;
  blocks.trimming = true;
  lock.unlock();
  start_trimming();
}

void release_kept_blocks() {
  KeptBlocks& blocks = kept();
  std::unique_lock lock(blocks.mutex);
  unmap_oldest_while(lock, [] { return true; });
}

size_t trim_kept_blocks(std::chrono::steady_clock::duration later) {
  KeptBlocks& blocks = kept();
  std::unique_lock lock(blocks.mutex);
  trim_at(lock, Clock::now() + later);
  return blocks.bytes;
}

size_t unmarked_block_bytes() {
  KeptBlocks& blocks = kept();
  const std::lock_guard lock(blocks.mutex);
  size_t bytes = 0;
  for (size_t i = 0; i < blocks.count; ++i) {
    if (!blocks.blocks[i].marked_free) bytes += blocks.blocks[i].size;
  }
  return bytes;
}

size_t kept_block_bytes() {
  KeptBlocks& blocks = kept();
  const std::lock_guard lock(blocks.mutex);
  return blocks.bytes;
}

void* map_list(size_t bytes) {
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    // The blocks kept for later parses go before this one fails.
    release_kept_blocks();
    mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  return mapped == MAP_FAILED ? nullptr : mapped;
}

void unmap_list(void* block, size_t bytes) { munmap(block, bytes); }

#else

void* map_list(size_t) { return nullptr; }
void unmap_list(void*, size_t) {}
void* take_block(size_t) { return nullptr; }
void give_back_block(void*, size_t) {}
size_t trim_kept_blocks(std::chrono::steady_clock::duration) { return 0; }
void release_kept_blocks() {}
size_t kept_block_bytes() { return 0; }
size_t unmarked_block_bytes() { return 0; }

#endif

}  // namespace corvina
