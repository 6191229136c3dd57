// The texts of one statement's documents, in a few large chunks instead of one allocation each.
//
// A 100 MB statement has about a hundred thousand documents; a block of its own for each cost
// a malloc and a free apiece and, on a fresh heap, a page fault every few documents. The
// documents share the arena (each holds a reference), so a document kept on its own keeps its
// texts, and the chunks go when the last of them does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "asan_poison.h"

namespace corvina {

class SharedTextArena;

class TextArena {
 public:
  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;
  ~TextArena();

  // size bytes that stay where they are until the arena is destroyed. Not thread-safe: a
  // statement is built on one thread, and only read once built.
  char* allocate(size_t size) {
    if (size + kGap > static_cast<size_t>(end_ - next_)) return allocate_in_new_chunk(size);
    char* const block = next_;
    next_ += size + kGap;
    CORVINA_ARENA_UNPOISON(block, size);
    return block;
  }
  // Makes every chunk from the next on a whole huge page (a kept block), for an arena that will
  // hold megabytes: the chunks that grow from 4 KiB to 1 MiB come from the heap, and a thread
  // other than the main one gave them back to the kernel when the statement went, so that each
  // parse on it faulted 2 MB of them in again.
  void skip_small_chunks();
  // Marks the pages of the open chunk that no text has reached as free for the kernel to take.
  // A huge page is resident whole from its first write, so a statement read in a dozen pieces
  // would otherwise keep a dozen half-empty 2 MiB pages. The arena stays usable.
  void release_unused_tail();
  // Returns the end of the last allocation, `allocated` bytes at block, past its first `used`:
  // room taken for a worst case that did not happen. A block that has been followed by another
  // allocation, or that got a chunk of its own, keeps its size.
  void give_back(char* block, size_t allocated, size_t used) {
    if (reinterpret_cast<uintptr_t>(block) + allocated + kGap !=
        reinterpret_cast<uintptr_t>(next_)) {
      return;
    }
    CORVINA_ARENA_POISON(block + used, allocated - used);
    next_ = block + used + kGap;
  }

 private:
#if defined(CORVINA_ARENA_POISONS)
  static constexpr size_t kGap = 16;
#else
  static constexpr size_t kGap = 0;
#endif
  struct Chunk {
    char* data;
    size_t size;
    bool mapped;  // a kept block (on huge pages where the kernel gives them), not from new
  };
  char* allocate_in_new_chunk(size_t size);

  friend class SharedTextArena;
  // The references that SharedTextArena counts; it deletes the arena with the last one.
  std::atomic<uint32_t> references_{1};
  std::vector<Chunk> chunks_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t next_chunk_size_ = 0;
};

// A counted reference to an arena: copies share it, and the arena goes with the last. One word,
// where a std::shared_ptr takes two, and every document holds one.
class SharedTextArena {
 public:
  SharedTextArena() = default;
  // A reference to a new, empty arena.
  static SharedTextArena make() {
    SharedTextArena made;
    made.arena_ = new TextArena;
    return made;
  }
  SharedTextArena(const SharedTextArena& other) noexcept : arena_(other.arena_) {
    if (arena_ != nullptr) arena_->references_.fetch_add(1, std::memory_order_relaxed);
  }
  SharedTextArena(SharedTextArena&& other) noexcept
      : arena_(std::exchange(other.arena_, nullptr)) {}
  SharedTextArena& operator=(SharedTextArena other) noexcept {
    std::swap(arena_, other.arena_);
    return *this;
  }
  ~SharedTextArena() {
    // The last reference may be dropped on another thread than the one that filled the arena;
    // acquire-release orders every use of its texts before the delete.
    if (arena_ != nullptr && arena_->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete arena_;
    }
  }

  explicit operator bool() const { return arena_ != nullptr; }
  TextArena* operator->() const { return arena_; }

 private:
  TextArena* arena_ = nullptr;
};

}  // namespace corvina
