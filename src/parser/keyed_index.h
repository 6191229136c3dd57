// Finding the place of a text in a list by the text itself, for lists whose texts come from the
// input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kept_blocks.h"
#include "keyed_hash.h"

namespace corvina {

// An open-addressing table of positions in a list the caller keeps, placed by a keyed hash of
// the text at each position and at most half full. It holds no text: `text_at(position)` reads
// the caller's, so nothing is copied. Positions are stored as position + 1 (0 = empty slot), so
// the list may hold up to 2^32 - 1 entries.
class KeyedIndex {
 public:
  static constexpr size_t kAbsent = static_cast<size_t>(-1);

  explicit KeyedIndex(const HashSeed& seed) : seed_(seed) {}

  const HashSeed& seed() const { return seed_; }

  // The position whose text equals `text`, or kAbsent.
  template <class TextAt>
  size_t find(std::string_view text, TextAt&& text_at) const {
    if (slots_.empty()) return kAbsent;
    const size_t mask = slots_.size() - 1;
    for (size_t slot = keyed_hash(text, seed_) & mask;; slot = (slot + 1) & mask) {
      const uint32_t position = slots_[slot];
      if (position == 0) return kAbsent;
      if (std::string_view(text_at(position - 1)) == text) return position - 1;
    }
  }

  // Files the list's newest entry, `count - 1`, after the caller has appended it.
  template <class TextAt>
  void add_last(size_t count, TextAt&& text_at) {
    if (count * 2 > slots_.size()) {
      size_t capacity = 16;
      while (capacity < count * 2) capacity *= 2;
      slots_.assign(capacity, 0);
      for (size_t i = 0; i < count; ++i) place(i, text_at(i));
    } else {
      place(count - 1, text_at(count - 1));
    }
  }

 private:
  void place(size_t position, std::string_view text) {
    const size_t mask = slots_.size() - 1;
    size_t slot = keyed_hash(text, seed_) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(position + 1);
  }

  HashSeed seed_;
  std::vector<uint32_t, MappedListAllocator<uint32_t>> slots_;
};

}  // namespace corvina
