// Document sections: one 26-field payment record each.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "attribute_map.h"
#include "document_extra.h"
#include "keyed_hash.h"
#include "line_form.h"
#include "record_builder.h"
#include "record_schema.h"
#include "result.h"
#include "statement.h"

namespace corvina {

// The most bytes of texts (as stored) that a document keeps in 32-bit spans; a document with
// more gets a wide block (see TextSpan). The builders take the limit as a parameter only so
// that tests can reach the wide case with small documents.
inline constexpr size_t kMaxNarrowTexts = TextSpan::kWide - 1;

// Builds a document from the section's kind (always the doc_type, whatever the attributes say
// under "СекцияДокумент") and its attributes. Values are converted in ascending byte order of
// their keys (Дата, ДатаПоступило, ДатаСписано, Сумма), and the first conversion failure is the
// result, with the converter's text; only then are required keys checked, in declaration order,
// with "missing field `{key}`". Keys that name no field are kept as the document's extras, in
// the map's order. All texts of the document are copied,
// one after another, into `texts`, which the document then shares (made when null). No size of
// texts is refused.
[[nodiscard]] Result<Document, std::string> build_document(
    std::string_view kind, const AttributeMap& attributes, SharedTextArena& texts,
    size_t narrow_limit = kMaxNarrowTexts);
// The same, into an arena of its own.
[[nodiscard]] inline Result<Document, std::string> build_document(
    std::string_view kind, const AttributeMap& attributes) {
  SharedTextArena texts;
  return build_document(kind, attributes, texts);
}

inline constexpr size_t kDocumentFieldCount = kFieldCount<decltype(kDocumentFields)>;

// The keys a document section names: its fields' rows first, then the common extra keys.
inline constexpr auto kDocumentSectionKeys = std::tuple_cat(kDocumentFields, kCommonExtraKeys);

// The values of one document section as its lines are read, for building the document without
// an AttributeMap of the whole section: a known key keeps its last value (as the map would), and
// only the other keys, the document's extras, go into a map. build(kind) ==
// build_document(kind, map) for a map of the same lines. The kind and the values are written in
// `form`; a Windows-1251 text is decoded as it is copied into the document's block.
class DocumentFields {
 public:
  explicit DocumentFields(LineForm form = LineForm::Utf8, size_t narrow_limit = kMaxNarrowTexts)
      : form_(form), narrow_limit_(narrow_limit) {}

  // `key_form` is the fields' own form, given at compile time so that the key table is.
  template <LineForm key_form = LineForm::Utf8>
  void add(std::string_view key, std::string_view value) {
    // One lookup among the fields and the common extra keys together: most keys that name no
    // field are common ones, and a second search would cost every one of them again.
    using Index = FieldIndex<kDocumentSectionKeys, key_form>;
    const size_t row = Index::find(key);
    if (row < kDocumentFieldCount) {
      raw_[row] = value;
      return;
    }
    if (row == Index::kNone) {
      add_other_extra(key, value);
      return;
    }
    const size_t common = row - kDocumentFieldCount;
    size_t& place = common_places_[common];
    if (place != 0) {
      extras_[place - 1].value = value;
      return;
    }
    extras_.push_back({key, value, static_cast<uint32_t>(common)});
    place = extras_.size();
  }
  void clear() {
    raw_.fill(std::nullopt);
    if (!decoded_.empty()) decoded_.clear();
    if (!extras_.empty()) clear_extras();
  }

  // A key of the section that names no field, with its last value; `common` is its index in
  // kCommonExtraKeys, or kCommonExtraKeyCount for any other key.
  struct Extra {
    std::string_view key;
    std::string_view value;
    uint32_t common;
  };
  // The kind becomes the doc_type whatever the lines said under its key. The texts go into
  // `texts`, made when null.
  [[nodiscard]] Result<Document, std::string> build(std::string_view kind,
                                                    SharedTextArena& texts);

 private:
  LineForm form_;
  size_t narrow_limit_;
  RawFields<kDocumentFields> raw_;
  void add_other_extra(std::string_view key, std::string_view value);
  void clear_extras();

  std::vector<std::string> decoded_;  // dates and amounts with other than ASCII, decoded
  // The keys that name no field, in order of first appearance, each with its last value.
  std::vector<Extra> extras_;
  // Per common key, its place in extras_ + 1, or 0.
  std::array<size_t, kCommonExtraKeyCount> common_places_{};
  // The other keys are few and found by a scan, until a section has more of them: then by a
  // keyed hash, so that no section of many distinct keys turns the scans quadratic.
  struct KeyHash {
    size_t operator()(std::string_view key) const {
      return static_cast<size_t>(keyed_hash(key, process_hash_seed()));
    }
  };
  size_t other_count_ = 0;
  std::unordered_map<std::string_view, size_t, KeyHash> other_places_;
};

}  // namespace corvina
