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
    if (size > static_cast<size_t>(end_ - next_)) return allocate_in_new_chunk(size);
    char* const block = next_;
    next_ += size;
    return block;
  }
  // Returns the end of the last allocation, `allocated` bytes at block, past its first `used`:
  // room taken for a worst case that did not happen. A block that has been followed by another
  // allocation, or that got a chunk of its own, keeps its size.
  void give_back(char* block, size_t allocated, size_t used) {
    if (block + allocated == next_) next_ = block + used;
  }

 private:
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
