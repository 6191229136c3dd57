#include "attribute_map.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace corvina {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs contents(const AttributeMap& map) {
  Pairs out;
  for (const auto& entry : map.entries()) out.emplace_back(entry.key, entry.value);
  return out;
}

struct InsertCase {
  const char* name;
  Pairs inserted;
  Pairs expected;
};

const InsertCase kInsertCases[] = {
    {"empty", {}, {}},
    {"order kept", {{"b", "1"}, {"a", "2"}, {"c", "3"}}, {{"b", "1"}, {"a", "2"}, {"c", "3"}}},
    {"repeat keeps first position, last value",
     {{"Дата", "1"}, {"Номер", "2"}, {"Дата", "3"}, {"Дата", "4"}},
     {{"Дата", "4"}, {"Номер", "2"}}},
    {"empty key and empty value", {{"", ""}, {"x", ""}, {"", "v"}}, {{"", "v"}, {"x", ""}}},
    {"case and spaces matter",
     {{"Сумма", "1"}, {"сумма", "2"}, {"Сумма ", "3"}, {" Сумма", "4"}},
     {{"Сумма", "1"}, {"сумма", "2"}, {"Сумма ", "3"}, {" Сумма", "4"}}},
    {"prefix is another key", {{"ab", "1"}, {"a", "2"}, {"abc", "3"}},
     {{"ab", "1"}, {"a", "2"}, {"abc", "3"}}},
};

TEST(attribute_map_test, insert) {
  for (const InsertCase& test : kInsertCases) {
    AttributeMap map;
    for (const auto& [key, value] : test.inserted) map.insert(key, value);
    EXPECT_EQ(contents(map), test.expected) << test.name;
    for (const auto& [key, value] : test.expected) {
      const std::string_view* found = map.find(key);
      ASSERT_NE(found, nullptr) << test.name << ": " << key;
      EXPECT_EQ(*found, value) << test.name << ": " << key;
    }
    EXPECT_EQ(map.find("absent"), nullptr) << test.name;
  }
}

// Crosses the point where the map starts hashing, several index rebuilds, and (40000 entries)
// the size from which its lists are mapped on their own.
TEST(attribute_map_test, large_maps) {
  for (size_t count : {15u, 16u, 17u, 33u, 100u, 10000u, 40000u}) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < count; ++i) keys.push_back("key" + std::to_string(i * 7919 % count));
    AttributeMap map;
    for (const std::string& key : keys) map.insert(key, key);
    // Replace every third key: positions must not move.
    std::vector<std::string> values(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      values[i] = i % 3 == 0 ? "new" + keys[i] : keys[i];
      if (i % 3 == 0) map.insert(keys[i], values[i]);
    }
    ASSERT_EQ(map.size(), count);
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(map.entries()[i].key, keys[i]) << count;
      const std::string_view* found = map.find(keys[i]);
      ASSERT_NE(found, nullptr) << count << ": " << keys[i];
      EXPECT_EQ(*found, values[i]) << count << ": " << keys[i];
    }
    EXPECT_EQ(map.find("key"), nullptr) << count;
    EXPECT_EQ(map.find("key" + std::to_string(count)), nullptr) << count;

    map.clear();
    EXPECT_TRUE(map.empty()) << count;
    EXPECT_EQ(map.find(keys[0]), nullptr) << count;
    map.insert("again", "1");
    map.insert("again", "2");
    EXPECT_EQ(contents(map), (Pairs{{"again", "2"}})) << count;
  }
}

TEST(attribute_map_test, owned_texts_survive_their_source) {
  AttributeMap map;
  {
    std::string key = "ПлательщикИНН";
    std::string value = "7700000000";
    map.insert_copy(key, value);
    map.insert_copy("Номер", "1");
    map.insert_copy(key, "");
    key.assign(key.size(), 'x');
    value.assign(value.size(), 'x');
  }
  // Moving the map must not move the blocks its views point into.
  AttributeMap moved = std::move(map);
  EXPECT_EQ(contents(moved), (Pairs{{"ПлательщикИНН", ""}, {"Номер", "1"}}));

  AttributeMap header;
  {
    std::string source = "Кодировка=Windows";
    std::string repeated = "Кодировка";
    header.insert(std::string_view(source).substr(0, 18), std::string_view(source).substr(19));
    header.insert_copy("Отправитель", "Банк");
    header.insert(repeated, "");
    header.make_owned();
    source.assign(source.size(), '?');
    repeated.assign(repeated.size(), '?');
  }
  AttributeMap moved_header = std::move(header);
  EXPECT_EQ(contents(moved_header), (Pairs{{"Кодировка", ""}, {"Отправитель", "Банк"}}));
}

// A large owned map (a header of thousands of keys) gives back its spare room: every key must
// still be found, keep its place and take new values and keys afterwards.
TEST(attribute_map_test, large_owned_maps_stay_whole) {
  for (const size_t count : {33u, 1000u, 5000u}) {
    std::string source;
    for (size_t i = 0; i < count; ++i) {
      source += "k" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
    }
    AttributeMap map;
    for (size_t start = 0; start < source.size();) {
      const size_t equals = source.find('=', start);
      const size_t end = source.find('\n', equals);
      map.insert(std::string_view(source).substr(start, equals - start),
                 std::string_view(source).substr(equals + 1, end - equals - 1));
      start = end + 1;
    }
    map.make_owned();
    source.assign(source.size(), '?');
    ASSERT_EQ(map.size(), count);
    for (size_t i = 0; i < count; i += 7) {
      EXPECT_EQ(map.entries()[i].key, "k" + std::to_string(i)) << count;
      const std::string_view* found = map.find("k" + std::to_string(i));
      ASSERT_NE(found, nullptr) << count << ": " << i;
      EXPECT_EQ(*found, "v" + std::to_string(i)) << count;
    }
    map.insert_copy("k0", "new");
    map.insert_copy("added", "1");
    EXPECT_EQ(*map.find("k0"), "new") << count;
    EXPECT_EQ(map.entries()[0].key, "k0") << count;
    EXPECT_EQ(map.entries().back().key, "added") << count;
    EXPECT_EQ(map.size(), count + 1) << count;
  }
}

// A header read in Windows-1251 bytes becomes a map of UTF-8 texts: its keys must be found by
// their decoded form afterwards, in a small map and in a hashed one, and repeats stay merged.
TEST(attribute_map_test, owned_from_cp1251_is_found_by_utf8_keys) {
  for (const int count : {3, 200}) {
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) keys.push_back("\xCA\xEB\xFE\xF7" + std::to_string(i));
    AttributeMap map;
    for (const std::string& key : keys) map.insert(key, "\xE7\xED\xE0\xF7\xE5\xED\xE8\xE5");
    map.insert(keys[1], "\xB9 \xAB\xA8\xBB");  // a repeat: the last value, the first place
    map.make_owned_from_cp1251();
    for (std::string& key : keys) key.assign(key.size(), '?');
    ASSERT_EQ(map.size(), static_cast<size_t>(count));
    EXPECT_EQ(map.entries()[1].key, "Ключ1");
    const std::string_view* repeated = map.find("Ключ1");
    ASSERT_NE(repeated, nullptr);
    EXPECT_EQ(*repeated, "№ «Ё»");
    const std::string last = "Ключ" + std::to_string(count - 1);
    ASSERT_NE(map.find(last), nullptr) << count;
    EXPECT_EQ(*map.find(last), "значение");
    EXPECT_EQ(map.find("\xCA\xEB\xFE\xF7" "0"), nullptr);  // the bytes as read are no key now
  }
}

// Small maps find keys by a summary of their length and outer bytes; keys alike in all of that
// must still be told apart, below and past the point where the map switches to hashing.
TEST(attribute_map_test, keys_alike_at_both_ends) {
  for (size_t count : {2u, 31u, 32u, 33u, 64u, 300u}) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < count; ++i) {
      keys.push_back("Плательщик" + std::to_string(1000 + i) + "РасчСчет");
    }
    AttributeMap map;
    for (const std::string& key : keys) map.insert(key, key);
    map.insert(keys[count / 2], "again");
    ASSERT_EQ(map.size(), count);
    for (size_t i = 0; i < count; ++i) {
      const std::string_view* found = map.find(keys[i]);
      ASSERT_NE(found, nullptr) << count << ": " << keys[i];
      EXPECT_EQ(*found, i == count / 2 ? "again" : keys[i]) << count << ": " << keys[i];
    }
    EXPECT_EQ(map.find("Плательщик9999РасчСчет"), nullptr) << count;
  }
}

// A section map is handed from state to state by moves; the one left behind must be empty and
// work, not hold an index into entries that went with the move.
// An input cannot know the process's key, so the most it can do is aim its keys at some other
// key: under the one it aimed at they share one probe run, under any other they spread.
TEST(attribute_map_test, keys_aimed_at_one_seed_spread_under_another) {
  constexpr HashSeed kAimed{1, 2};
  constexpr HashSeed kOther{3, 4};
  constexpr size_t kCount = 1000;  // indexed in 2048 slots
  std::vector<std::string> keys;
  for (size_t i = 0; keys.size() < kCount; ++i) {
    std::string key = "k" + std::to_string(i);
    if ((keyed_hash(key, kAimed) & 2047) == 0) keys.push_back(std::move(key));
  }
  const auto total_probes = [&keys](const HashSeed& seed) {
    AttributeMap map(seed);
    for (const std::string& key : keys) map.insert(key, "v");
    size_t total = 0;
    for (const std::string& key : keys) total += map.probe_length(key);
    return total;
  };
  EXPECT_GT(total_probes(kAimed), kCount * kCount / 4);
  EXPECT_LT(total_probes(kOther), kCount * 3);
}

TEST(attribute_map_test, moved_from_maps_are_empty) {
  for (size_t count : {3u, 40u}) {
    AttributeMap source;
    for (size_t i = 0; i < count; ++i) source.insert_copy("k" + std::to_string(i), "v");
    AttributeMap target = std::move(source);
    EXPECT_EQ(target.size(), count);
    EXPECT_TRUE(source.empty()) << count;
    EXPECT_EQ(source.find("k0"), nullptr) << count;
    source.insert("k1", "x");
    EXPECT_EQ(contents(source), (Pairs{{"k1", "x"}})) << count;

    AttributeMap assigned;
    assigned.insert("other", "y");
    assigned = std::move(target);
    EXPECT_EQ(assigned.size(), count);
    EXPECT_EQ(assigned.find("other"), nullptr) << count;
    EXPECT_TRUE(target.empty()) << count;
    EXPECT_EQ(target.find("k2"), nullptr) << count;
  }
}

}  // namespace
}  // namespace corvina
