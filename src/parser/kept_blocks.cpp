#include "kept_blocks.h"

#include <cstdint>
#include <mutex>

#include "asan_poison.h"
#include "huge_pages.h"

#if defined(CORVINA_KEPT_BLOCKS)
#include <pthread.h>
#include <signal.h>
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

// Unmaps the blocks beyond the lasting share as they age, then ends. One runs while there are
// any.
void trim_as_blocks_age() {
  KeptBlocks& blocks = kept();
  std::unique_lock lock(blocks.mutex);
  for (;;) {
    unmap_oldest_while(lock, [&blocks] { return blocks.oldest_expired(Clock::now()); });
    if (blocks.bytes <= kKeptBlockBytes) break;
    // Blocks taken meanwhile only make the wait longer, so a sleep does: nothing wakes it.
    const Clock::time_point due = blocks.blocks[0].freed + kRecentBlockTime;
    lock.unlock();
    std::this_thread::sleep_until(due);
    lock.lock();
  }
  blocks.trimming = false;
}

// Starts the trimming thread, with every signal blocked: signals meant for the process then go
// to its own threads, which wait for them. Where no thread can be started, the blocks beyond
// the lasting share go now.
void start_trimming() {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_SETMASK, &all, &before) == 0;
  bool started = true;
  try {
    std::thread(trim_as_blocks_age).detach();
  } catch (...) {  // std::system_error, or std::bad_alloc for the thread's state
    started = false;
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (started) return;
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
  if (char* const fresh = map_aligned(bytes)) return fresh;
  // Kept blocks count against the address space limit like any other mapping.
  release_kept_blocks();
  return map_aligned(bytes);
}

void give_back_block(void* block, size_t bytes) {
  const Block given{static_cast<char*>(block), bytes, Clock::now()};
  // A block the kernel cannot take back when it needs the memory is not kept.
  if (bytes > kMostKeptBlockBytes || madvise(block, bytes, MADV_FREE) != 0) {
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
  if (blocks.bytes <= kKeptBlockBytes || blocks.trimming) return;
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
  unmap_oldest_while(lock,
                     [&blocks, later] { return blocks.oldest_expired(Clock::now() + later); });
  return blocks.bytes;
}

size_t kept_block_bytes() {
  KeptBlocks& blocks = kept();
  const std::lock_guard lock(blocks.mutex);
  return blocks.bytes;
}

#else

void* take_block(size_t) { return nullptr; }
void give_back_block(void*, size_t) {}
size_t trim_kept_blocks(std::chrono::steady_clock::duration) { return 0; }
void release_kept_blocks() {}
size_t kept_block_bytes() { return 0; }

#endif

}  // namespace corvina
