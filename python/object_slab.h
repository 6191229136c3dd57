// Room for the objects a parse makes by the thousand (one per document), a huge page at a time.
//
// Each Document object took a pymalloc block of its own, and pymalloc gives its arenas back to
// the system when their objects go: every large statement faulted the pages of its objects in
// again, 4 KiB at a time, on the thread holding the interpreter lock. A slab is a block of the
// core's kept blocks, reused from one statement to the next without a fault; it goes back when
// its last object does.
//
// Only where the interpreter lock guards every object's release: the free-threaded build reads
// list items without locks and relies on its own allocator for objects freed meanwhile.
#pragma once

#include <Python.h>

#include <cstddef>

namespace corvina::py {

#if !defined(Py_GIL_DISABLED)
#define CORVINA_OBJECT_SLABS 1
#endif

class ObjectSlab {
 public:
  // A slab for objects of `object_size` bytes, when `wanted` of them fill a good part of one;
  // nullptr otherwise, or when there is no memory for it, and the caller allocates each object
  // the usual way.
  static ObjectSlab* make(size_t object_size, size_t wanted);

  // Room for the next object, which counts as live from now; nullptr when the slab is full.
  void* place();

  // One object gone; the slab goes with the last. Under the interpreter lock.
  void release();

 private:
  ObjectSlab(size_t object_size, size_t capacity, size_t block_bytes, bool kept)
      : object_size_(object_size), capacity_(capacity), block_bytes_(block_bytes), kept_(kept) {}

  size_t object_size_;  // rounded up to keep every object aligned
  size_t capacity_;
  size_t block_bytes_;
  bool kept_;  // a kept block, not from new
  size_t placed_ = 0;
  size_t live_ = 0;
};

}  // namespace corvina::py
