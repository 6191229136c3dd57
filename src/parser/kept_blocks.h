// Large blocks for buffers that are written once and freed whole: the text store's chunks and
// the tables' columns.
//
// The kernel clears every page it hands out, and for a parse and a table of 50 MB that clearing
// took nearly a fifth of the processor time. A freed block is therefore kept, up to
// kKeptBlockBytes in all, and handed to the next parse or table instead of fresh pages. Kept
// blocks are marked as free for the kernel (MADV_FREE): under memory pressure it takes their
// pages back without writing them anywhere, and a later write gets a cleared page again.
#pragma once

#include <cstddef>

namespace corvina {

// The freed bytes kept for reuse, at most; the blocks freed last are the ones kept.
inline constexpr size_t kKeptBlockBytes = size_t{128} << 20;

// A block of `bytes` (a multiple of kHugePageBytes), aligned to a huge page and advised onto huge
// pages, its contents undefined: a kept block of that size or larger (cut to size), else a fresh
// mapping. nullptr where the system maps no anonymous memory or has none left; the caller then
// allocates the plain way.
void* take_block(size_t bytes);

// Gives back a block from take_block, with the size it was taken with. Never fails.
void give_back_block(void* block, size_t bytes);

// Unmaps every kept block; a mapping that fails tries this before giving up.
void release_kept_blocks();

// The bytes kept now, for tests.
size_t kept_block_bytes();

}  // namespace corvina
