// Document sections: one 26-field payment record each.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "attribute_map.h"
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
    const size_t row = FieldIndex<kDocumentFields, key_form>::find(key);
    if (row != FieldIndex<kDocumentFields, key_form>::kNone) {
      raw_[row] = value;
    } else {
      extras_.insert(key, value);
    }
  }
  void clear() {
    raw_.fill(std::nullopt);
    if (!decoded_.empty()) decoded_.clear();
    if (!extras_.empty()) extras_.clear();
  }
  // The kind becomes the doc_type whatever the lines said under its key. The texts go into
  // `texts`, made when null.
  [[nodiscard]] Result<Document, std::string> build(std::string_view kind,
                                                    SharedTextArena& texts);

 private:
  LineForm form_;
  size_t narrow_limit_;
  RawFields<kDocumentFields> raw_;
  std::vector<std::string> decoded_;  // dates and amounts with other than ASCII, decoded
  // The keys that name no field, in order of first appearance, each with its last value.
  AttributeMap extras_;
};

}  // namespace corvina
