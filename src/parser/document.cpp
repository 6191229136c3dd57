#include "document.h"

#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "decode.h"

namespace corvina {
namespace {

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

// Copies every present text of `raw` into `block` from `offset` on, one after another, and
// hands each one's field, offset and size to place(); returns the offset past the last.
template <typename Place>
[[gnu::always_inline]] inline size_t copy_texts(const RawFields<kDocumentFields>& raw,
                                                bool decodes, char* block, size_t offset,
                                                Place&& place) {
  size_t row = 0;
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
      place(field, offset, size);
      offset += size;
    }
  });
  return offset;
}

inline constexpr size_t kDocumentTextCount = [] {
  size_t count = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    count += std::remove_cvref_t<decltype(field)>::kind == FieldKind::Text;
  });
  return count;
}();

// The texts of a document too large for 32-bit spans, into a wide block (see TextSpan): its
// table first, then the texts. Kept out of line so that the usual path stays as small as it was.
[[gnu::noinline]] void place_wide_texts(const RawFields<kDocumentFields>& raw, bool decodes,
                                        size_t room, Document& document,
                                        SharedTextArena& texts) {
  constexpr size_t kTable = kDocumentTextCount * sizeof(WideTextSpan);
  char* const block = texts->allocate(kTable + room);
  uint32_t next_row = 0;
  const size_t end =
      copy_texts(raw, decodes, block, kTable, [&](const auto& field, size_t offset, size_t size) {
        using Row = std::remove_cvref_t<decltype(field)>;
        const WideTextSpan span{offset, size};
        std::memcpy(block + next_row * sizeof(WideTextSpan), &span, sizeof span);
        Row::member(document) = {next_row++, TextSpan::kWide};
      });
  texts->give_back(block, kTable + room, end);
  document.text_base = block;
}

}  // namespace

Result<Document, std::string> build_document(std::string_view kind,
                                             const AttributeMap& attributes,
                                             SharedTextArena& texts, size_t narrow_limit) {
  // The map holds each key once, so adding its entries overwrites nothing.
  DocumentFields fields(LineForm::Utf8, narrow_limit);
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
  size_t room = total;
  if (decodes && total > 0) {
    room = total <= kWorstCaseRoomUpTo ? 3 * total + kCp1251StoreSlack
                                       : cp1251_decoded_room_of_texts(raw);
  }
  if (!texts) texts = SharedTextArena::make();
  document.texts = texts;
  // The room bounds every offset and size, so within the limit 32 bits hold them all.
  if (room > narrow_limit_) [[unlikely]] {
    place_wide_texts(raw, decodes, room, document, texts);
    return document;
  }
  char* const block = texts->allocate(room);
  const size_t end = copy_texts(raw, decodes, block, 0,
                                [&](const auto& field, size_t offset, size_t size) {
                                  using Row = std::remove_cvref_t<decltype(field)>;
                                  Row::member(document) = {static_cast<uint32_t>(offset),
                                                           static_cast<uint32_t>(size)};
                                });
  texts->give_back(block, room, end);
  document.text_base = end == 0 ? nullptr : block;
  return document;
}

}  // namespace corvina
