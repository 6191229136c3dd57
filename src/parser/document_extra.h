// The keys of a document section that name no field, kept with the document.
//
// They are written into the document's block after its texts, as one run of entries:
//
//   entry := varint(head) [key bytes] varint(2 * value size + cp1251) value bytes
//
// where a head below kCommonExtraKeyCount names a key of kCommonExtraKeys (no key bytes
// follow) and any other head is kCommonExtraKeyCount + the size of the key that follows. Keys
// are UTF-8; a value is UTF-8, or with cp1251 = 1 the Windows-1251 bytes it was written in,
// decoded only when read. The keys that banks put in nearly every document take one byte each
// that way, where their Cyrillic UTF-8 takes twenty to thirty, and a Cyrillic value half the
// bytes of its UTF-8: a statement keeps a hundred thousand documents, and every byte of theirs
// is a hundred kilobytes of memory kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

#include <string>

#include "cp1251_decode.h"
#include "statement.h"

namespace corvina {

// One row of kCommonExtraKeys: a key of the format that is no field (FieldIndex reads `key`).
struct ExtraKeyRow {
  std::string_view key;
};

// The keys other than the fields that statements of many banks carry, most frequent first.
// Their order is part of the stored form: append only.
inline constexpr std::tuple kCommonExtraKeys{
    ExtraKeyRow{"ПлательщикБанк2"},     ExtraKeyRow{"ПолучательБанк2"},
    ExtraKeyRow{"Получатель1"},
    ExtraKeyRow{"ВидПлатежа"},          ExtraKeyRow{"Код"},
    ExtraKeyRow{"СрокПлатежа"},         ExtraKeyRow{"КодНазПлатежа"},
    ExtraKeyRow{"СтатусСоставителя"},   ExtraKeyRow{"ПоказательКБК"},
    ExtraKeyRow{"ОКАТО"},               ExtraKeyRow{"ПоказательОснования"},
    ExtraKeyRow{"ПоказательПериода"},   ExtraKeyRow{"ПоказательНомера"},
    ExtraKeyRow{"ПоказательДаты"},      ExtraKeyRow{"ПоказательТипа"},
    ExtraKeyRow{"КвитанцияДата"},       ExtraKeyRow{"КвитанцияВремя"},
    ExtraKeyRow{"КвитанцияСодержание"}, ExtraKeyRow{"Плательщик2"},
    ExtraKeyRow{"Плательщик3"},         ExtraKeyRow{"Плательщик4"},
    ExtraKeyRow{"Получатель2"},         ExtraKeyRow{"Получатель3"},
    ExtraKeyRow{"Получатель4"},         ExtraKeyRow{"НазначениеПлатежа1"},
    ExtraKeyRow{"НазначениеПлатежа2"},  ExtraKeyRow{"НазначениеПлатежа3"},
    ExtraKeyRow{"НазначениеПлатежа4"},  ExtraKeyRow{"НазначениеПлатежа5"},
    ExtraKeyRow{"НазначениеПлатежа6"},  ExtraKeyRow{"КодВыплат"},
    ExtraKeyRow{"УсловиеОплаты1"},      ExtraKeyRow{"УсловиеОплаты2"},
    ExtraKeyRow{"УсловиеОплаты3"},      ExtraKeyRow{"СрокАкцепта"},
    ExtraKeyRow{"ВидАккредитива"},      ExtraKeyRow{"ПлатежПоПредст"},
    ExtraKeyRow{"ДополнУсловия"},       ExtraKeyRow{"НомерСчетаПоставщика"},
    ExtraKeyRow{"ДатаОтсылкиДок"},
};

inline constexpr size_t kCommonExtraKeyCount = std::tuple_size_v<decltype(kCommonExtraKeys)>;

// The common keys by index, in UTF-8.
inline constexpr auto kCommonExtraKeyTexts = [] {
  std::array<std::string_view, kCommonExtraKeyCount> keys{};
  size_t i = 0;
  std::apply([&](const auto&... row) { ((keys[i++] = row.key), ...); }, kCommonExtraKeys);
  return keys;
}();

// The most bytes a varint of a size takes.
inline constexpr size_t kMaxVarintBytes = 10;

inline char* write_varint(uint64_t value, char* out) {
  while (value >= 0x80) {
    *out++ = static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

inline uint64_t read_varint(const char*& at) {
  uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    value |= uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return value;
  }
}

// Calls f(common, key, value, cp1251) for each extra key of the document, in the order of first
// appearance: `common` is the key's index in kCommonExtraKeys, or kCommonExtraKeyCount for any
// other key; the value as stored, its Windows-1251 bytes when cp1251 is set, else UTF-8. Keys
// are UTF-8.
template <typename F>
void for_each_stored_extra_entry(const Document& document, F&& f) {
  const std::string_view run = document.text(document.extra);
  const char* at = run.data();
  const char* const end = at + run.size();
  while (at < end) {
    const uint64_t head = read_varint(at);
    std::string_view key;
    size_t common = kCommonExtraKeyCount;
    if (head < kCommonExtraKeyCount) {
      common = static_cast<size_t>(head);
      key = kCommonExtraKeyTexts[common];
    } else {
      const auto size = static_cast<size_t>(head - kCommonExtraKeyCount);
      key = std::string_view(at, size);
      at += size;
    }
    const uint64_t value_head = read_varint(at);
    const auto size = static_cast<size_t>(value_head >> 1);
    const std::string_view value(at, size);
    at += size;
    f(common, key, value, (value_head & 1) != 0);
  }
}

// The same without the index: f(key, value, cp1251).
template <typename F>
void for_each_stored_extra(const Document& document, F&& f) {
  for_each_stored_extra_entry(
      document, [&f](size_t, std::string_view key, std::string_view value, bool cp1251) {
        f(key, value, cp1251);
      });
}

// Calls f(key, value) for each extra key of the document, in the order of first appearance,
// with every text in UTF-8. A decoded value lives until f returns.
template <typename F>
void for_each_extra(const Document& document, F&& f) {
  // Values are short (codes, dates, a bank's town): they decode on the stack, and a table of a
  // hundred thousand documents takes no allocation for them.
  constexpr size_t kStackValue = 160;
  char stack[3 * kStackValue + kCp1251StoreSlack];
  std::string heap;
  for_each_stored_extra(document, [&](std::string_view key, std::string_view value, bool cp1251) {
    if (cp1251) {
      char* out = stack;
      if (value.size() > kStackValue) {
        heap.resize(cp1251_decoded_room(value));
        out = heap.data();
      }
      value = std::string_view(out, static_cast<size_t>(decode_cp1251_into(value, out) - out));
    }
    f(key, value);
  });
}

// Calls f(key, value_size) for each extra key of the document, with the size of the value in
// UTF-8, without decoding it.
template <typename F>
void for_each_extra_size(const Document& document, F&& f) {
  for_each_stored_extra(document, [&](std::string_view key, std::string_view value, bool cp1251) {
    f(key, cp1251 ? cp1251_decoded_size(value) : value.size());
  });
}

// The most bytes of UTF-8 that one byte of Windows-1251 decodes to.
inline constexpr size_t kMostUtf8PerCp1251Byte = 3;

// Calls f(key, room) for each extra key of the document, with room enough for the value in
// UTF-8 and no pass over its bytes: its size, or the most a Windows-1251 value may decode to.
template <typename F>
void for_each_extra_room(const Document& document, F&& f) {
  for_each_stored_extra(document, [&](std::string_view key, std::string_view value, bool cp1251) {
    f(key, cp1251 ? kMostUtf8PerCp1251Byte * value.size() : value.size());
  });
}

// The extras of a document as a table sizes its map column: how many, the bytes of their keys,
// and room for their values (as for_each_extra_room gives it).
struct ExtraSizes {
  uint64_t entries = 0;
  uint64_t key_bytes = 0;
  uint64_t value_room = 0;
};

// ExtraSizes packed into the 30 bits of Document::extra_summary (6 bits of entries, 12 of key
// bytes, 12 of value room), or kUnknownExtraSummary when one of them does not fit its bits.
// Sixty-odd extras is more than a section of every key of the format has.
inline constexpr unsigned kSummaryEntryBits = 6;
inline constexpr unsigned kSummaryKeyBits = 12;
inline constexpr unsigned kSummaryValueBits = 12;
static_assert(kSummaryEntryBits + kSummaryKeyBits + kSummaryValueBits == kExtraSummaryBits);

inline uint32_t pack_extra_summary(const ExtraSizes& sizes) {
  // The largest value of each field is left out, so that no summary is all ones.
  if (sizes.entries >= (uint64_t{1} << kSummaryEntryBits) - 1 ||
      sizes.key_bytes >= (uint64_t{1} << kSummaryKeyBits) - 1 ||
      sizes.value_room >= (uint64_t{1} << kSummaryValueBits) - 1) {
    return kUnknownExtraSummary;
  }
  return static_cast<uint32_t>(sizes.entries |
                               sizes.key_bytes << kSummaryEntryBits |
                               sizes.value_room << (kSummaryEntryBits + kSummaryKeyBits));
}

// The document's ExtraSizes, from its summary when it has one, else read from its extras.
inline ExtraSizes extra_sizes(const Document& document) {
  const uint32_t summary = document.extra_summary;
  if (summary != kUnknownExtraSummary) [[likely]] {
    constexpr uint32_t kKeyMask = (uint32_t{1} << kSummaryKeyBits) - 1;
    return {summary & ((uint32_t{1} << kSummaryEntryBits) - 1),
            (summary >> kSummaryEntryBits) & kKeyMask,
            summary >> (kSummaryEntryBits + kSummaryKeyBits)};
  }
  ExtraSizes sizes;
  for_each_extra_room(document, [&sizes](std::string_view key, size_t value_room) {
    ++sizes.entries;
    sizes.key_bytes += key.size();
    sizes.value_room += value_room;
  });
  return sizes;
}

// How many extra keys the document has.
inline size_t extra_count(const Document& document) {
  size_t count = 0;
  for_each_stored_extra(document, [&count](std::string_view, std::string_view, bool) { ++count; });
  return count;
}

}  // namespace corvina
