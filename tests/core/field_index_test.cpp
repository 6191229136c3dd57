#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "account.h"
#include "document.h"
#include "record_schema.h"
#include "test_support.h"

namespace corvina {
namespace {

// Every key of a record is found at its row, and every text a byte away from a key (a byte
// changed anywhere, one dropped or added at either end) is found only where it is itself a key:
// a lookup that hashes or compares a part of the key only would take some of them for the key.
template <const auto& fields, LineForm form>
void expect_keys_found_exactly() {
  using Index = FieldIndex<fields, form>;
  std::vector<std::string> keys;
  for (std::string_view key : field_keys<fields>()) {
    keys.push_back(form == LineForm::Cp1251 ? test_support::to_cp1251(key) : std::string(key));
  }
  const auto row_of = [&](const std::string& text) {
    for (size_t row = 0; row < keys.size(); ++row) {
      if (keys[row] == text) return row;
    }
    return Index::kNone;
  };
  for (size_t row = 0; row < keys.size(); ++row) {
    const std::string& key = keys[row];
    ASSERT_EQ(Index::find(key), row) << row;
    std::vector<std::string> near;
    for (size_t at = 0; at < key.size(); ++at) {
      for (const char flip : {'\x01', '\x20', '\x80'}) {
        std::string changed = key;
        changed[at] = static_cast<char>(changed[at] ^ flip);
        near.push_back(changed);
      }
    }
    near.push_back(key.substr(1));
    near.push_back(key.substr(0, key.size() - 1));
    near.push_back(key + "1");
    near.push_back("1" + key);
    for (const std::string& text : near) {
      EXPECT_EQ(Index::find(text), row_of(text)) << "row " << row << ", " << text.size() << " bytes";
    }
  }
  EXPECT_EQ(Index::find(""), Index::kNone);
  EXPECT_EQ(Index::find(std::string(200, 'x')), Index::kNone);
}

TEST(field_index_test, finds_every_key_and_nothing_else) {
  expect_keys_found_exactly<kDocumentSectionKeys, LineForm::Utf8>();
  expect_keys_found_exactly<kDocumentSectionKeys, LineForm::Cp1251>();
  expect_keys_found_exactly<kIntervalFields, LineForm::Utf8>();
  expect_keys_found_exactly<kIntervalFields, LineForm::Cp1251>();
}

}  // namespace
}  // namespace corvina
