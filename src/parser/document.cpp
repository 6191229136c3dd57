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
                                             const AttributeMap& attributes,
                                             std::shared_ptr<TextArena>& texts) {
  // The map holds each key once, so adding its entries overwrites nothing.
  DocumentFields fields;
  for (const AttributeMap::Entry& entry : attributes.entries()) fields.add(entry.key, entry.value);
  return fields.build(kind, texts);
}

Result<Document, std::string> DocumentFields::build(std::string_view kind,
                                                    std::shared_ptr<TextArena>& texts) {
  // Conversions wait until every line has been seen because the first failure must be the
  // first in byte order of the keys, not in file order.
  raw_[kDocumentKindField] = kind;
  const RawFields<kDocumentFields>& raw = raw_;

  Document document;
  auto converted = convert_fields<kDocumentFields>(raw, document);
  if (!converted) return fail(std::move(converted).error());

  // The texts of the document go one after another into a block of the arena sized in
  // advance; the fields are spans of it.
  size_t total = 0;
  size_t row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    if (std::remove_cvref_t<decltype(field)>::kind == FieldKind::Text && raw[row]) {
      total += raw[row]->size();
    }
    ++row;
  });
  if (total >= OptionalTextSpan::kAbsent) return fail(std::string(kDocumentTooLarge));
  if (texts == nullptr) texts = std::make_shared<TextArena>();
  char* const block = texts->allocate(total);
  document.text_base = block;
  document.texts = texts;
  uint32_t offset = 0;
  row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    const std::optional<std::string_view>& text = raw[row++];
    if constexpr (Row::kind == FieldKind::Text) {
      if (!text) return;  // an optional text left absent; required ones were checked above
      const auto size = static_cast<uint32_t>(text->size());
      if (size != 0) std::memcpy(block + offset, text->data(), size);
      Row::member(document) = {offset, size};
      offset += size;
    }
  });
  return document;
}

}  // namespace corvina
