#include "document.h"

#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "decode.h"
#include "document_extra.h"
#include "short_copy.h"

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
      } else {
        // UTF-8, or Windows-1251 in ASCII (numbers, codes, accounts): the same bytes.
        copy_short_text(block + offset, text->data(), size);
      }
      place(field, offset, size);
      offset += size;
    }
  });
  return offset;
}

// Room for one text stored with its size before it.
size_t sized_text_room(std::string_view text, bool decodes) {
  if (!decodes) return kMaxVarintBytes + text.size();
  return kMaxVarintBytes + (text.size() <= kWorstCaseRoomUpTo
                                ? 3 * text.size() + kCp1251StoreSlack
                                : cp1251_decoded_room(text));
}

using Extras = std::vector<DocumentFields::Extra>;

size_t extras_room(const Extras& extras, LineForm form) {
  const bool decodes = form == LineForm::Cp1251;
  size_t room = 0;
  for (const DocumentFields::Extra& extra : extras) {
    room += extra.common < kCommonExtraKeyCount ? kMaxVarintBytes
                                                : sized_text_room(extra.key, decodes);
    room += kMaxVarintBytes + extra.value.size();  // a value is kept as written
  }
  return room;
}

// Writes varint(base + the stored size of text), then text (decoded from Windows-1251 when
// `decodes`) at out; returns the end: a key written out. A decoded size is known only once
// decoded, so the text goes one byte on, where a size below 128 leaves it, and is moved up for a
// longer varint.
char* put_sized_text(std::string_view text, bool decodes, uint64_t base, char* out) {
  if (decodes && has_byte_above_ascii(text)) {
    char* const start = out + 1;
    const auto size = static_cast<size_t>(decode_cp1251_into(text, start) - start);
    const uint64_t head = base + size;
    if (head < 0x80) {
      *out = static_cast<char>(head);
      return start + size;
    }
    char varint[kMaxVarintBytes];
    const auto length = static_cast<size_t>(write_varint(head, varint) - varint);
    std::memmove(out + length, start, size);
    std::memcpy(out, varint, length);
    return out + length + size;
  }
  out = write_varint(base + text.size(), out);
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// Writes the run of extras (see document_extra.h) at out, and sets `summary` to their packed
// sizes (pack_extra_summary); returns the run's end.
char* put_extras(const Extras& extras, LineForm form, char* out, uint32_t& summary) {
  const bool decodes = form == LineForm::Cp1251;
  ExtraSizes sizes;
  sizes.entries = extras.size();
  for (const DocumentFields::Extra& entry : extras) {
    if (entry.common < kCommonExtraKeyCount) {
      out = write_varint(entry.common, out);
      sizes.key_bytes += kCommonExtraKeyTexts[entry.common].size();
    } else {
      const char* head = out;
      out = put_sized_text(entry.key, decodes, kCommonExtraKeyCount, out);
      sizes.key_bytes += read_varint(head) - kCommonExtraKeyCount;  // the key as stored: UTF-8
    }
    // A Windows-1251 value is kept in its own bytes, half the size of its UTF-8 when Cyrillic,
    // and decoded when read: extras are read far less often than a statement is kept. ASCII is
    // marked so too: looking for Cyrillic in every value would cost the parse a branch it
    // cannot predict per key, and decoding ASCII when reading costs next to nothing.
    const std::string_view value = entry.value;
    const bool cp1251 = decodes && !value.empty();
    out = write_varint(uint64_t{value.size()} * 2 + cp1251, out);
    copy_short_text(out, value.data(), value.size());
    out += value.size();
    sizes.value_room += cp1251 ? kMostUtf8PerCp1251Byte * value.size() : value.size();
  }
  summary = pack_extra_summary(sizes);
  return out;
}

// A statement keeps one record per document, and a large one keeps hundreds of thousands: the
// wide case must not cost ordinary records a byte.
static_assert(sizeof(void*) != 8 || sizeof(Document) == 256);

inline constexpr size_t kDocumentTextCount = [] {
  size_t count = 0;
  for_each_field(kDocumentFields, [&](const auto& field) {
    count += std::remove_cvref_t<decltype(field)>::kind == FieldKind::Text;
  });
  return count;
}();

// The texts of a document too large for 32-bit spans, into a wide block (see TextSpan): its
// table first, then the texts, then the run of extras in the table's last row. Kept out of line
// so that the usual path stays as small as it was.
[[gnu::noinline]] void place_wide_texts(const RawFields<kDocumentFields>& raw, bool decodes,
                                        size_t room, const Extras& extras, LineForm form,
                                        Document& document, SharedTextArena& texts) {
  constexpr size_t kTable = (kDocumentTextCount + 1) * sizeof(WideTextSpan);
  char* const block = texts->allocate(kTable + room);
  uint32_t next_row = 0;
  const size_t end =
      copy_texts(raw, decodes, block, kTable, [&](const auto& field, size_t offset, size_t size) {
        using Row = std::remove_cvref_t<decltype(field)>;
        const WideTextSpan span{offset, size};
        std::memcpy(block + next_row * sizeof(WideTextSpan), &span, sizeof span);
        Row::member(document) = {next_row++, TextSpan::kWide};
      });
  uint32_t summary = 0;
  const size_t extras_end =
      static_cast<size_t>(put_extras(extras, form, block + end, summary) - block);
  document.extra_summary = summary;
  const WideTextSpan extra_span{end, extras_end - end};
  std::memcpy(block + kDocumentTextCount * sizeof(WideTextSpan), &extra_span, sizeof extra_span);
  document.extra = {static_cast<uint32_t>(kDocumentTextCount), TextSpan::kWide};
  texts->give_back(block, kTable + room, extras_end);
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

// Past this many other keys in one section, they are found by hash.
constexpr size_t kOtherKeysScannedUpTo = 8;

void DocumentFields::add_other_extra(std::string_view key, std::string_view value) {
  if (other_count_ < kOtherKeysScannedUpTo) {
    for (Extra& extra : extras_) {
      if (extra.common == kCommonExtraKeyCount && extra.key == key) {
        extra.value = value;
        return;
      }
    }
  } else {
    if (other_places_.empty()) {
      for (size_t i = 0; i < extras_.size(); ++i) {
        if (extras_[i].common == kCommonExtraKeyCount) {
          other_places_.emplace(extras_[i].key, i);
        }
      }
    }
    const auto [found, added] = other_places_.try_emplace(key, extras_.size());
    if (!added) {
      extras_[found->second].value = value;
      return;
    }
  }
  extras_.push_back({key, value, static_cast<uint32_t>(kCommonExtraKeyCount)});
  ++other_count_;
}

void DocumentFields::clear_extras() {
  for (const Extra& extra : extras_) {
    if (extra.common < kCommonExtraKeyCount) common_places_[extra.common] = 0;
  }
  extras_.clear();
  other_count_ = 0;
  if (!other_places_.empty()) other_places_.clear();
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
  if (!extras_.empty()) room += extras_room(extras_, form_);
  if (!texts) texts = SharedTextArena::make();
  document.texts = texts;
  // The room bounds every offset and size, so within the limit 32 bits hold them all.
  if (room > narrow_limit_) [[unlikely]] {
    place_wide_texts(raw, decodes, room, extras_, form_, document, texts);
    return document;
  }
  char* const block = texts->allocate(room);
  const size_t end = copy_texts(raw, decodes, block, 0,
                                [&](const auto& field, size_t offset, size_t size) {
                                  using Row = std::remove_cvref_t<decltype(field)>;
                                  Row::member(document) = {static_cast<uint32_t>(offset),
                                                           static_cast<uint32_t>(size)};
                                });
  size_t stored = end;
  document.extra_summary = 0;  // no extras
  if (!extras_.empty()) {
    uint32_t summary = 0;
    char* const extras_end = put_extras(extras_, form_, block + end, summary);
    document.extra_summary = summary;
    stored = static_cast<size_t>(extras_end - block);
    document.extra = {static_cast<uint32_t>(end), static_cast<uint32_t>(stored - end)};
  }
  texts->give_back(block, room, stored);
  document.text_base = stored == 0 ? nullptr : block;
  return document;
}

}  // namespace corvina
