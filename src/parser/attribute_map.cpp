#include "attribute_map.h"

#include <cstring>
#include <functional>

namespace corvina {

namespace {

// Up to this many entries a lookup is a plain scan: comparing lengths first rejects almost every
// key with one integer compare, which beats hashing for the 20-60 keys of a real section.
constexpr size_t kScanLimit = 16;

size_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace

size_t AttributeMap::find_index(std::string_view key) const {
  if (index_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (same_text(entries_[i].key, key)) return i;
    }
    return entries_.size();
  }
  const size_t mask = index_.size() - 1;
  for (size_t slot = hash_key(key) & mask;; slot = (slot + 1) & mask) {
    const uint32_t position = index_[slot];
    if (position == 0) return entries_.size();
    if (same_text(entries_[position - 1].key, key)) return position - 1;
  }
}

void AttributeMap::rebuild_index() {
  // Power-of-two table at most half full, so probes stay short and always meet an empty slot.
  size_t capacity = 64;
  while (capacity < entries_.size() * 2) capacity *= 2;
  index_.assign(capacity, 0);
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = hash_key(entries_[i].key) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(i + 1);
  }
}

void AttributeMap::insert(std::string_view key, std::string_view value) {
  const size_t found = find_index(key);
  if (found < entries_.size()) {
    entries_[found].value = value;
    return;
  }
  entries_.push_back({key, value});
  if (entries_.size() <= kScanLimit) return;
  if (index_.empty() || entries_.size() * 2 > index_.size()) {
    rebuild_index();
    return;
  }
  const size_t mask = index_.size() - 1;
  size_t slot = hash_key(key) & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<uint32_t>(entries_.size());
}

void AttributeMap::insert_copy(std::string_view key, std::string_view value) {
  const size_t found = find_index(key);
  if (found < entries_.size()) {
    // The replaced value's block stays until the map is cleared: hooks replace few values, and
    // freeing it here would mean tracking which block backs which entry.
    entries_[found].value = store(value);
    return;
  }
  const std::string_view owned_key = store(key);
  insert(owned_key, store(value));
}

const std::string_view* AttributeMap::find(std::string_view key) const {
  const size_t found = find_index(key);
  return found < entries_.size() ? &entries_[found].value : nullptr;
}

void AttributeMap::clear() {
  entries_.clear();
  // Keeping the index allocated but emptied would make find_index probe it, so drop it to
  // "no index"; its capacity is kept by the vector and reused by the next rebuild.
  index_.clear();
  owned_.clear();
}

void AttributeMap::make_owned() {
  size_t total = 0;
  for (const Entry& entry : entries_) total += entry.key.size() + entry.value.size();
  if (total == 0) {
    // Only empty texts: make them independent of any buffer without allocating.
    for (Entry& entry : entries_) entry = {std::string_view(), std::string_view()};
    owned_.clear();
    return;
  }
  // One block for all texts. Earlier blocks may back some of the texts being copied, so they
  // are released only after the copy.
  auto block = std::make_unique<char[]>(total);
  char* out = block.get();
  const auto copy = [&out](std::string_view text) {
    if (text.empty()) return std::string_view();
    std::memcpy(out, text.data(), text.size());
    const std::string_view copied(out, text.size());
    out += text.size();
    return copied;
  };
  for (Entry& entry : entries_) {
    entry.key = copy(entry.key);
    entry.value = copy(entry.value);
  }
  owned_.clear();
  owned_.push_back(std::move(block));
}

std::string_view AttributeMap::store(std::string_view text) {
  if (text.empty()) return std::string_view();
  auto block = std::make_unique<char[]>(text.size());
  std::memcpy(block.get(), text.data(), text.size());
  const std::string_view stored(block.get(), text.size());
  owned_.push_back(std::move(block));
  return stored;
}

}  // namespace corvina
