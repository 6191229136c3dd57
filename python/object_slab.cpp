#include "object_slab.h"

#include <cstddef>
#include <new>

#include "huge_pages.h"
#include "kept_blocks.h"

namespace corvina::py {
namespace {

// The objects start at this offset, past the slab's own fields, on a cache line.
constexpr size_t kObjectsOffset = 64;
static_assert(sizeof(ObjectSlab) <= kObjectsOffset);
// A block is resident whole once touched (a huge page): fewer objects than this share of it are
// allocated one by one.
constexpr size_t kLeastShareFilled = 4;

char* objects_of(ObjectSlab* slab) { return reinterpret_cast<char*>(slab) + kObjectsOffset; }

}  // namespace

ObjectSlab* ObjectSlab::make(size_t object_size, size_t wanted) {
  constexpr size_t kBlockBytes = kHugePageBytes;
  constexpr size_t kAlign = alignof(std::max_align_t);
  const size_t stride = (object_size + kAlign - 1) / kAlign * kAlign;
  const size_t capacity = (kBlockBytes - kObjectsOffset) / stride;
  if (capacity == 0 || wanted < capacity / kLeastShareFilled) return nullptr;
  bool kept = true;
  void* block = take_block(kBlockBytes);
  if (block == nullptr) {
    kept = false;
    block = ::operator new(kBlockBytes, std::align_val_t{kObjectsOffset}, std::nothrow);
    if (block == nullptr) return nullptr;
  }
  return new (block) ObjectSlab(stride, capacity, kBlockBytes, kept);
}

void* ObjectSlab::place() {
  if (placed_ == capacity_) return nullptr;
  ++live_;
  return objects_of(this) + object_size_ * placed_++;
}

void ObjectSlab::release() {
  if (--live_ != 0) return;
  const size_t block_bytes = block_bytes_;
  const bool kept = kept_;
  this->~ObjectSlab();
  if (kept) {
    give_back_block(this, block_bytes);
  } else {
    ::operator delete(this, std::align_val_t{kObjectsOffset});
  }
}

}  // namespace corvina::py
