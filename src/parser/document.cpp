#include "document.h"

#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace corvina {
namespace {

// A document's texts are spans of 32-bit offsets into its block.
constexpr std::string_view kDocumentTooLarge = "document texts exceed 4 GiB";

}  // namespace

Result<Document, std::string> build_document(std::string_view kind,
                                             const AttributeMap& attributes) {
  // The map holds each key once, so adding its entries overwrites nothing.
  DocumentFields fields;
  for (const AttributeMap::Entry& entry : attributes.entries()) fields.add(entry.key, entry.value);
  return fields.build(kind);
}

Result<Document, std::string> DocumentFields::build(std::string_view kind) {
  // Conversions wait until every line has been seen because the first failure must be the
  // first in byte order of the keys, not in file order.
  raw_[kDocumentKindField] = kind;
  const RawFields<kDocumentFields>& raw = raw_;

  Document document;
  auto converted = convert_fields<kDocumentFields>(raw, document);
  if (!converted) return fail(std::move(converted).error());

  // Every text of the document goes into one block sized in advance; the fields are spans of
  // it.
  size_t total = 0;
  size_t row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    if (std::remove_cvref_t<decltype(field)>::kind == FieldKind::Text && raw[row]) {
      total += raw[row]->size();
    }
    ++row;
  });
  if (total >= OptionalTextSpan::kAbsent) return fail(std::string(kDocumentTooLarge));
  // Every byte of the block is written below, so it is not zero-filled first.
  if (total > 0) document.text_block = std::make_unique_for_overwrite<char[]>(total);
  uint32_t offset = 0;
  row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    const std::optional<std::string_view>& text = raw[row++];
    if constexpr (Row::kind == FieldKind::Text) {
      if (!text) return;  // an optional text left absent; required ones were checked above
      const auto size = static_cast<uint32_t>(text->size());
      if (size != 0) std::memcpy(document.text_block.get() + offset, text->data(), size);
      Row::member(document) = {offset, size};
      offset += size;
    }
  });
  return document;
}

}  // namespace corvina
