#include "document.h"

#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "decode.h"

namespace corvina {
namespace {

// A document's texts are spans of 32-bit offsets into its block.
constexpr std::string_view kDocumentTooLarge = "document texts exceed 4 GiB";

// Up to this many bytes of Windows-1251 texts, room for the worst case (three bytes each)
// costs less than counting what they need.
constexpr size_t kWorstCaseRoomUpTo = size_t{1} << 16;

size_t cp1251_decoded_room_of_texts(const RawFields<kDocumentFields>& raw) {
  size_t room = 0;
  size_t row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    if (std::remove_cvref_t<decltype(field)>::kind == FieldKind::Text && raw[row]) {
      room += cp1251_decoded_room(*raw[row]);
    }
    ++row;
  });
  return room;
}

}  // namespace

Result<Document, std::string> build_document(std::string_view kind,
                                             const AttributeMap& attributes,
                                             SharedTextArena& texts) {
  // The map holds each key once, so adding its entries overwrites nothing.
  DocumentFields fields;
  for (const AttributeMap::Entry& entry : attributes.entries()) fields.add(entry.key, entry.value);
  return fields.build(kind, texts);
}

Result<Document, std::string> DocumentFields::build(std::string_view kind,
                                                    SharedTextArena& texts) {
  // Conversions wait until every line has been seen because the first failure must be the
  // first in byte order of the keys, not in file order.
  raw_[kDocumentKindField] = kind;
  const bool decodes = form_ == LineForm::Cp1251;
  if (decodes) decode_converted_values<kDocumentFields>(raw_, decoded_);
  const RawFields<kDocumentFields>& raw = raw_;

  Document document;
  auto converted = convert_fields<kDocumentFields>(raw, document);
  if (!converted) return fail(std::move(converted).error());

  // The texts of the document go one after another into a block of the arena taken in
  // advance; the fields are spans of it. Windows-1251 texts take room for their worst case,
  // and what decoding did not fill is given back.
  size_t total = 0;
  size_t row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    if (std::remove_cvref_t<decltype(field)>::kind == FieldKind::Text && raw[row]) {
      total += raw[row]->size();
    }
    ++row;
  });
  if (total >= OptionalTextSpan::kAbsent) return fail(std::string(kDocumentTooLarge));
  size_t room = total;
  if (decodes && total > 0) {
    room = total <= kWorstCaseRoomUpTo ? 3 * total + kCp1251StoreSlack
                                       : cp1251_decoded_room_of_texts(raw);
  }
  if (!texts) texts = SharedTextArena::make();
  char* const block = texts->allocate(room);
  size_t offset = 0;
  row = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    const std::optional<std::string_view>& text = raw[row++];
    if constexpr (Row::kind == FieldKind::Text) {
      if (!text) return;  // an optional text left absent; required ones were checked above
      size_t size = text->size();
      if (decodes && has_byte_above_ascii(*text)) {
        size = static_cast<size_t>(decode_cp1251_into(*text, block + offset) - (block + offset));
      } else if (size != 0) {
        // UTF-8, or Windows-1251 in ASCII (numbers, codes, accounts): the same bytes.
        std::memcpy(block + offset, text->data(), size);
      }
      Row::member(document) = {static_cast<uint32_t>(offset), static_cast<uint32_t>(size)};
      offset += size;
    }
  });
  texts->give_back(block, room, offset);
  if (offset >= OptionalTextSpan::kAbsent) return fail(std::string(kDocumentTooLarge));
  document.text_base = offset == 0 ? nullptr : block;
  document.texts = texts;
  return document;
}

}  // namespace corvina
