#include "text_arena.h"

#include "huge_pages.h"
#include "kept_blocks.h"

#include <algorithm>
#include <cstdint>
#include <new>

// Chunks of one huge page are kept blocks where the system maps anonymous memory (and where
// huge pages exist to be had); everywhere else every chunk is plain allocation.
#if !defined(CORVINA_NO_MMAP) && defined(__linux__) && __has_include(<sys/mman.h>)
#define CORVINA_MAPPED_CHUNKS 1
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace corvina {
namespace {

// Chunks start small, so a statement of a few documents keeps a few kilobytes, and double up to
// one huge page, so a large one takes a page fault per 2 MiB instead of per 4 KiB.
constexpr size_t kFirstChunk = size_t{4} << 10;
constexpr size_t kHugePage = kHugePageBytes;

}  // namespace

TextArena::~TextArena() {
  for (const Chunk& chunk : chunks_) {
    CORVINA_ARENA_UNPOISON(chunk.data, chunk.size);
    if (chunk.mapped) {
      give_back_block(chunk.data, chunk.size);
      continue;
    }
    delete[] chunk.data;
  }
}

void TextArena::release_unused_tail() {
#if defined(CORVINA_MAPPED_CHUNKS)
  if (next_ == nullptr) return;
  for (auto chunk = chunks_.rbegin(); chunk != chunks_.rend(); ++chunk) {
    if (next_ < chunk->data || next_ > chunk->data + chunk->size) continue;
    if (!chunk->mapped) return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(next_) + page - 1) & ~(page - 1);
    const auto to = reinterpret_cast<uintptr_t>(end_);
    if (to <= from) return;
    // Marked free, not dropped: the kernel takes them when it needs memory, and until then the
    // next arena that reuses the chunk as a kept block writes there without a page fault each
    // (dropped, they came back cleared and 4 KiB at a time). A later text that lands there keeps
    // what it wrote either way. Kernels older than MADV_FREE drop them.
    void* const tail = reinterpret_cast<void*>(from);
    if (madvise(tail, to - from, MADV_FREE) != 0) madvise(tail, to - from, MADV_DONTNEED);
    return;
  }
#endif
}

void TextArena::skip_small_chunks() {
  // The chunk after one of half a huge page is a whole one.
  next_chunk_size_ = std::max(next_chunk_size_, kHugePage / 2);
}

char* TextArena::allocate_in_new_chunk(size_t size) {
  const size_t chunk_size =
      next_chunk_size_ == 0 ? kFirstChunk : std::min(2 * next_chunk_size_, kHugePage);
  chunks_.reserve(chunks_.size() + 1);  // so that a failure below leaks nothing
  if (size + kGap > chunk_size) {
    // A text longer than a chunk gets a chunk of its own; the current one stays open.
    char* const data = new char[size];
    chunks_.push_back({data, size, false});
    return data;
  }
  next_chunk_size_ = chunk_size;
  Chunk chunk{nullptr, chunk_size, false};
  if (chunk.size == kHugePage) {
    chunk.data = static_cast<char*>(take_block(kHugePage));
    chunk.mapped = chunk.data != nullptr;
  }
  if (chunk.data == nullptr) chunk.data = new char[chunk.size];
  chunks_.push_back(chunk);
  CORVINA_ARENA_POISON(chunk.data, chunk.size);
  CORVINA_ARENA_UNPOISON(chunk.data, size);
  next_ = chunk.data + size + kGap;
  end_ = chunk.data + chunk.size;
  return chunk.data;
}

}  // namespace corvina
