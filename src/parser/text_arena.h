// The texts of one statement's documents, in a few large chunks instead of one allocation each.
//
// A 100 MB statement has about a hundred thousand documents; a block of its own for each cost
// a malloc and a free apiece and, on a fresh heap, a page fault every few documents. The
// documents share the arena (each holds a reference), so a document kept on its own keeps its
// texts, and the chunks go when the last of them does.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

// Under AddressSanitizer the arena poisons what it has not handed out and keeps a poisoned gap
// after every block, so that a read or write past a text's end is caught as it would be with a
// block of its own.
#if defined(__SANITIZE_ADDRESS__)
#define CORVINA_ARENA_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVINA_ARENA_POISONS 1
#endif
#endif
#if defined(CORVINA_ARENA_POISONS)
#include <sanitizer/asan_interface.h>
#define CORVINA_ARENA_POISON(data, size) ASAN_POISON_MEMORY_REGION(data, size)
#define CORVINA_ARENA_UNPOISON(data, size) ASAN_UNPOISON_MEMORY_REGION(data, size)
#else
#define CORVINA_ARENA_POISON(data, size) ((void)(data), (void)(size))
#define CORVINA_ARENA_UNPOISON(data, size) ((void)(data), (void)(size))
#endif

namespace corvina {

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
  // Returns the end of the last allocation, `allocated` bytes at block, past its first `used`:
  // room taken for a worst case that did not happen. A block that has been followed by another
  // allocation, or that got a chunk of its own, keeps its size.
  void give_back(char* block, size_t allocated, size_t used) {
    if (block + allocated + kGap != next_) return;
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
    bool mapped;  // from mmap (on huge pages where the kernel gives them), not from new
  };
  char* allocate_in_new_chunk(size_t size);

  std::vector<Chunk> chunks_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t next_chunk_size_ = 0;
};

}  // namespace corvina
