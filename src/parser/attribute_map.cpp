#include "attribute_map.h"

#include <cstring>
#include <functional>
#include <utility>

#include "decode.h"

namespace corvina {

namespace {

// Up to this many entries lookups go through the small table placed by tag, which is cheap to
// compute and to reset for the 20-30 keys of a real section. Tags are no hash: keys made to
// share one would pile into a single probe run, which this limit keeps short; larger maps
// switch to a hash of the whole key.
constexpr size_t kSmallLimit = 32;
constexpr size_t kSmallMask = 63;
static_assert(kSmallLimit * 2 <= kSmallMask + 1, "the small table stays at most half full");

size_t small_slot(uint64_t tag) {
  return static_cast<size_t>((tag * 0x9E3779B97F4A7C15ull) >> 58);
}

// The length with the first and the last eight bytes of the key. Keys of one length often share
// a long prefix (ПлательщикИНН, ПлательщикКПП) but then differ at the end. Only a filter: equal
// tags still need the bytes compared.
uint64_t key_tag(std::string_view key) {
  const size_t size = key.size();
  uint64_t head = 0;
  uint64_t tail = 0;
  if (size >= 8) {
    std::memcpy(&head, key.data(), 8);
    std::memcpy(&tail, key.data() + size - 8, 8);
  } else if (size > 0) {
    std::memcpy(&head, key.data(), size);
  }
  return (head ^ (tail * 0x9E3779B97F4A7C15ull)) + size;
}

// Keys that share a slot of the index share its probe run, so a fixed hash would let an input
// line up thousands of keys in one run and make every insert walk it. A keyed hash leaves the
// input no way to know which keys meet.
size_t hash_key(std::string_view key, const HashSeed& seed) {
  return static_cast<size_t>(keyed_hash(key, seed));
}

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace

AttributeMap::AttributeMap(AttributeMap&& other) noexcept
    : seed_(other.seed_),
      entries_(std::move(other.entries_)),
      tags_(std::move(other.tags_)),
      small_index_(other.small_index_),
      index_(std::move(other.index_)),
      owned_(std::move(other.owned_)) {
  other.entries_.clear();
  other.tags_.clear();
  other.small_index_.fill(0);
  other.index_.clear();
  other.owned_.clear();
}

AttributeMap& AttributeMap::operator=(AttributeMap&& other) noexcept {
  if (this == &other) return *this;
  seed_ = other.seed_;
  entries_ = std::move(other.entries_);
  tags_ = std::move(other.tags_);
  small_index_ = other.small_index_;
  index_ = std::move(other.index_);
  owned_ = std::move(other.owned_);
  other.entries_.clear();
  other.tags_.clear();
  other.small_index_.fill(0);
  other.index_.clear();
  other.owned_.clear();
  return *this;
}

// One walk serves lookups and probe_length; a lookup ignores the count, which the inlined
// walk then does not keep.
AttributeMap::Probe AttributeMap::probe(std::string_view key, uint64_t tag) const {
  size_t visited = 1;
  if (index_.empty()) {
    for (size_t slot = small_slot(tag);; slot = (slot + 1) & kSmallMask, ++visited) {
      const size_t position = small_index_[slot];
      if (position == 0) return {entries_.size(), visited};
      if (tags_[position - 1] == tag && same_text(entries_[position - 1].key, key)) {
        return {position - 1, visited};
      }
    }
  }
  const size_t mask = index_.size() - 1;
  for (size_t slot = hash_key(key, seed_) & mask;; slot = (slot + 1) & mask, ++visited) {
    const uint32_t position = index_[slot];
    if (position == 0) return {entries_.size(), visited};
    if (same_text(entries_[position - 1].key, key)) return {position - 1, visited};
  }
}

size_t AttributeMap::find_index(std::string_view key, uint64_t tag) const {
  return probe(key, tag).index;
}

void AttributeMap::place_in_small_index(size_t index) {
  size_t slot = small_slot(tags_[index]);
  while (small_index_[slot] != 0) slot = (slot + 1) & kSmallMask;
  small_index_[slot] = static_cast<uint8_t>(index + 1);
}

void AttributeMap::rebuild_index() {
  // Power-of-two table at most half full, so probes stay short and always meet an empty slot.
  size_t capacity = 64;
  while (capacity < entries_.size() * 2) capacity *= 2;
  index_.assign(capacity, 0);
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = hash_key(entries_[i].key, seed_) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(i + 1);
  }
}

void AttributeMap::insert(std::string_view key, std::string_view value) {
  const uint64_t tag = key_tag(key);
  const size_t found = find_index(key, tag);
  if (found < entries_.size()) {
    entries_[found].value = value;
    return;
  }
  entries_.push_back({key, value});
  if (entries_.size() <= kSmallLimit) {
    tags_.push_back(tag);
    place_in_small_index(entries_.size() - 1);
    return;
  }
  if (index_.empty() || entries_.size() * 2 > index_.size()) {
    rebuild_index();
    return;
  }
  const size_t mask = index_.size() - 1;
  size_t slot = hash_key(key, seed_) & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<uint32_t>(entries_.size());
}

void AttributeMap::insert_copy(std::string_view key, std::string_view value) {
  const size_t found = find_index(key, key_tag(key));
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
  const size_t found = find_index(key, key_tag(key));
  return found < entries_.size() ? &entries_[found].value : nullptr;
}

void AttributeMap::clear() {
  entries_.clear();
  tags_.clear();
  small_index_.fill(0);
  // Keeping the index allocated but emptied would make find_index probe it, so drop it to
  // "no index"; its capacity is kept by the vector and reused by the next rebuild.
  index_.clear();
  owned_.clear();
}

AttributeMap::Contents AttributeMap::take_contents() {
  Contents contents{std::move(entries_), std::move(owned_)};
  *this = AttributeMap(seed_);
  return contents;
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
  shed_spare_entries();
}

void AttributeMap::shed_spare_entries() {
  // An owned map is kept as long as its statement, and the last doubling of a map of millions
  // of keys may have left room for as many again.
  const size_t size = entries_.size();
  if (size > kSmallLimit && entries_.capacity() - size > size / 4) entries_.shrink_to_fit();
}

void AttributeMap::make_owned_from_cp1251() {
  // One block with room for every text decoded; the decoder's whole-word stores need their
  // slack only past the last one.
  size_t total = kCp1251StoreSlack;
  for (const Entry& entry : entries_) {
    total += cp1251_decoded_room(entry.key) + cp1251_decoded_room(entry.value) -
             2 * kCp1251StoreSlack;
  }
  auto block = std::make_unique_for_overwrite<char[]>(total);
  char* out = block.get();
  const auto decode = [&out](std::string_view text) {
    char* const end = decode_cp1251_into(text, out);
    const std::string_view decoded(out, static_cast<size_t>(end - out));
    out = end;
    return decoded;
  };
  for (Entry& entry : entries_) {
    entry.key = decode(entry.key);
    entry.value = decode(entry.value);
  }
  owned_.clear();
  owned_.push_back(std::move(block));
  shed_spare_entries();
  // The keys' bytes changed, and with them their tags and places.
  small_index_.fill(0);
  if (entries_.size() > kSmallLimit) {
    rebuild_index();
    return;
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    tags_[i] = key_tag(entries_[i].key);
    place_in_small_index(i);
  }
}

size_t AttributeMap::probe_length(std::string_view key) const {
  return probe(key, key_tag(key)).visited;
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
