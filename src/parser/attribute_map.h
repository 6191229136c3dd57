// AttributeMap: the ordered key -> value texts of the header and of one section.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kept_blocks.h"
#include "keyed_hash.h"

namespace corvina {

// Keeps keys in order of first insertion; inserting a present key replaces its value in place.
// Lookup is by hash once the map grows past a few dozen keys, so a section with thousands of
// distinct keys stays linear, while the usual 20-30 keys need no index at all. The hash is keyed
// (process_hash_seed unless a test gives its own), so keys written to share one slot cannot be
// computed ahead and turn a large section quadratic.
//
// Texts are views. insert() stores the caller's views as they are (the decoded input outlives
// every map built from it); insert_copy() and make_owned() copy into storage the map owns, for
// texts that come from elsewhere (hooks) or maps that must outlive the input (the header).
class AttributeMap {
 public:
  struct Entry {
    std::string_view key;
    std::string_view value;
  };

  AttributeMap() : AttributeMap(process_hash_seed()) {}
  explicit AttributeMap(const HashSeed& seed) : seed_(seed) {}
  // A moved-from map is empty and usable (a table left behind would point at entries that went).
  AttributeMap(AttributeMap&& other) noexcept;
  AttributeMap& operator=(AttributeMap&& other) noexcept;
  AttributeMap(const AttributeMap&) = delete;
  AttributeMap& operator=(const AttributeMap&) = delete;

  void insert(std::string_view key, std::string_view value);
  void insert_copy(std::string_view key, std::string_view value);

  // The value stored under key, or nullptr.
  const std::string_view* find(std::string_view key) const;

  std::span<const Entry> entries() const { return entries_; }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Forgets every entry but keeps the capacity, so a map reused for the next section does not
  // allocate again.
  void clear();

  // The entries in order, and the blocks that hold the texts the map owns.
  using EntryList = std::vector<Entry, MappedListAllocator<Entry>>;
  struct Contents {
    EntryList entries;
    std::vector<std::unique_ptr<char[]>> blocks;
  };
  // Moves the entries and their blocks out and leaves the map empty, its lookup tables freed:
  // for a reader of a large map (a header of millions of keys) that needs the texts once more
  // and no lookups.
  Contents take_contents();

  // Copies every text into the map's own storage; afterwards the map depends on nothing else.
  void make_owned();
  // The same for a map whose texts are Windows-1251 bytes: each is decoded as it is copied, and
  // the map is then one of UTF-8 texts. Decoding maps distinct keys to distinct keys, so no two
  // entries merge.
  void make_owned_from_cp1251();

  // How many slots a lookup of key visits; lets tests check that no input lengthens the runs.
  size_t probe_length(std::string_view key) const;

 private:
  std::string_view store(std::string_view text);
  struct Probe {
    size_t index;    // entries_.size() when absent
    size_t visited;  // slots looked at
  };
  Probe probe(std::string_view key, uint64_t tag) const;
  size_t find_index(std::string_view key, uint64_t tag) const;  // entries_.size() when absent
  void rebuild_index();
  // Gives back the room of a large map's entries that no insert will use.
  void shed_spare_entries();
  // Files entries_[index] in the small table by its tag.
  void place_in_small_index(size_t index);

  HashSeed seed_;
  EntryList entries_;
  // A cheap summary of the key of each entry filed in the small table (see key_tag), parallel
  // to the first entries: a scan compares these words and looks at key bytes only when they
  // match. Entries past the small table are found by the index alone, so a header of millions
  // of keys pays nothing here.
  std::vector<uint64_t> tags_;
  // While the map is small: open-addressing table of entry positions + 1 (0 = empty slot),
  // placed by tag. Fixed in size and reset with the map, so a section builds no index at all.
  std::array<uint8_t, 64> small_index_{};
  // Past the small table: open-addressing table of entry positions + 1 (0 = empty slot), placed
  // by a hash of the whole key; empty while the map is small.
  std::vector<uint32_t, MappedListAllocator<uint32_t>> index_;
  // Owned texts, one heap block per copy: blocks never move, even when the map itself is
  // moved, so views into them stay valid.
  std::vector<std::unique_ptr<char[]>> owned_;
};

}  // namespace corvina
