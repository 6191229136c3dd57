// AttributeMap: the ordered key -> value texts of the header and of one section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvina {

// Keeps keys in order of first insertion; inserting a present key replaces its value in place.
// Lookup is by hash once the map grows past a handful of keys, so a section with thousands of
// distinct keys stays linear, while the usual 20-60 keys need no index at all.
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

  AttributeMap() = default;
  AttributeMap(AttributeMap&&) noexcept = default;
  AttributeMap& operator=(AttributeMap&&) noexcept = default;
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

  // Copies every text into the map's own storage; afterwards the map depends on nothing else.
  void make_owned();

 private:
  std::string_view store(std::string_view text);
  size_t find_index(std::string_view key) const;  // entries_.size() when absent
  void rebuild_index();

  std::vector<Entry> entries_;
  // Open-addressing table of entry positions + 1 (0 = empty slot); empty while the map is small.
  std::vector<uint32_t> index_;
  // Owned texts, one heap block per copy: blocks never move, even when the map itself is
  // moved, so views into them stay valid.
  std::vector<std::unique_ptr<char[]>> owned_;
};

}  // namespace corvina
