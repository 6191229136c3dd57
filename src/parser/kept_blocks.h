// Large blocks for buffers that are written once and freed whole: the text store's chunks and
// the tables' columns.
//
// The kernel clears every page it hands out, and for a parse and a table of 50 MB that clearing
// took nearly a fifth of the processor time. A freed block is therefore kept and handed to the
// next parse or table instead of fresh pages: kKeptBlockBytes of them for good, and beyond that
// those freed in the last kRecentBlockTime, so that a loop over statements of hundreds of
// megabytes reuses its memory too (on a virtual machine whose host takes back the pages its
// guest frees, a fresh page there cost up to ten times its clearing). A thread of its own
// unmaps the others as they age, and ends when none are left. Kept blocks are marked as free
// for the kernel (MADV_FREE): under memory pressure it takes their pages back without writing
// them anywhere, and a later write gets a cleared page again.
#pragma once

#include <chrono>
#include <cstddef>

namespace corvina {

// The freed bytes kept for as long as nothing needs them; the blocks freed last are the ones
// kept.
inline constexpr size_t kKeptBlockBytes = size_t{128} << 20;
// How long the blocks beyond kKeptBlockBytes are kept after they are freed.
inline constexpr std::chrono::steady_clock::duration kRecentBlockTime = std::chrono::seconds(2);
// The freed bytes kept at most, however recent.
inline constexpr size_t kMostKeptBlockBytes = (sizeof(void*) >= 8 ? size_t{4096} : 512) << 20;

// A block of `bytes` (a multiple of kHugePageBytes), aligned to a huge page and advised onto huge
// pages, its contents undefined: a kept block of that size or larger (cut to size, the rest
// kept), else a fresh mapping. nullptr where the system maps no anonymous memory or has none
// left; the caller then allocates the plain way.
void* take_block(size_t bytes);

// Gives back a block from take_block, with the size it was taken with. Never fails.
void give_back_block(void* block, size_t bytes);

// Unmaps every kept block; a mapping that fails tries this before giving up.
void release_kept_blocks();

// Unmaps the blocks that the trimming thread will have unmapped `later` from now, at once, and
// returns the bytes kept then. For tests.
size_t trim_kept_blocks(std::chrono::steady_clock::duration later);

// The bytes kept now, for tests.
size_t kept_block_bytes();

}  // namespace corvina
