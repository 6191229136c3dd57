#include "exchange_writer.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <type_traits>
#include <vector>

#include "amount.h"
#include "cp1251_decode.h"
#include "date.h"
#include "document_extra.h"
#include "record_schema.h"
#include "shared_work.h"

namespace corvina {
namespace {

// The highest code point Windows-1251 has (U+2122, the trade mark sign).
constexpr uint32_t kLastCp1251Code = 0x2122;

constexpr std::string_view kDocumentEnd = "КонецДокумента";

// Code point -> Windows-1251 byte, or -1; made from the decoder's own table, so that the two
// directions cannot disagree (U+0098 included, which the decoder gives byte 0x98).
const std::array<int16_t, kLastCp1251Code + 1>& cp1251_bytes() {
  static const std::array<int16_t, kLastCp1251Code + 1> table = [] {
    std::array<int16_t, kLastCp1251Code + 1> bytes;
    bytes.fill(-1);
    for (int byte = 0; byte < 256; ++byte) {
      const char in = static_cast<char>(byte);
      const std::string utf8 = decode_cp1251(std::string_view(&in, 1));
      uint32_t code = static_cast<unsigned char>(utf8[0]);
      if (utf8.size() == 2) {
        code = (code & 0x1Fu) << 6 | (static_cast<unsigned char>(utf8[1]) & 0x3Fu);
      } else if (utf8.size() == 3) {
        code = (code & 0x0Fu) << 12 | (static_cast<unsigned char>(utf8[1]) & 0x3Fu) << 6 |
               (static_cast<unsigned char>(utf8[2]) & 0x3Fu);
      }
      if (code <= kLastCp1251Code) bytes[code] = static_cast<int16_t>(byte);
    }
    return bytes;
  }();
  return table;
}

// Windows-1251 bytes of U+0400 to U+047F (UTF-8 D0 80 to D1 BF), or -1: the letters of every
// Russian text, looked up without decoding their code points.
const std::array<int16_t, 128>& cyrillic_bytes() {
  static const std::array<int16_t, 128> table = [] {
    std::array<int16_t, 128> bytes;
    for (uint32_t i = 0; i < bytes.size(); ++i) bytes[i] = cp1251_bytes()[0x400 + i];
    return bytes;
  }();
  return table;
}

// Writes UTF-8 text at `at` in Windows-1251 (never more bytes than the UTF-8 has); nullptr
// when a character has no byte there, or at a line feed.
char* append_cp1251(std::string_view text, char* at) {
  const auto& bytes = cp1251_bytes();
  const auto& cyrillic = cyrillic_bytes();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = in + text.size();
  while (in < end) {
    const unsigned lead = *in;
    if (lead < 0x80) {
      // ASCII (digits, account numbers) goes over as it is, eight bytes at a time where it can;
      // a line feed is refused on the way, so the text is read once.
      constexpr uint64_t kOnes = 0x0101010101010101u;
      constexpr uint64_t kHighs = 0x8080808080808080u;
      uint64_t word;
      if (end - in >= 8 && (std::memcpy(&word, in, sizeof word), (word & kHighs) == 0)) {
        const uint64_t line_feeds = word ^ (kOnes * '\n');
        if (((line_feeds - kOnes) & ~line_feeds & kHighs) == 0) {
          std::memcpy(at, &word, sizeof word);
          at += 8;
          in += 8;
          continue;
        }
      }
      if (lead == '\n') return nullptr;
      *at++ = static_cast<char>(lead);
      ++in;
      continue;
    }
    if ((lead == 0xD0 || lead == 0xD1) && end - in >= 2) {
      const int16_t byte = cyrillic[(lead & 1u) << 6 | (in[1] & 0x3Fu)];
      if (byte < 0) return nullptr;
      *at++ = static_cast<char>(byte);
      in += 2;
      continue;
    }
    uint32_t code;
    if (lead < 0xE0 && end - in >= 2) {
      code = (lead & 0x1Fu) << 6 | (in[1] & 0x3Fu);
      in += 2;
    } else if (lead < 0xF0 && end - in >= 3) {
      code = (lead & 0x0Fu) << 12 | (in[1] & 0x3Fu) << 6 | (in[2] & 0x3Fu);
      in += 3;
    } else {
      return nullptr;  // beyond the Basic Multilingual Plane: nothing there in Windows-1251
    }
    if (code > kLastCp1251Code || bytes[code] < 0) return nullptr;
    *at++ = static_cast<char>(bytes[code]);
  }
  return at;
}

char* append_bytes(std::string_view text, char* at) {
  if (text.empty()) return at;  // an empty view may have no data pointer at all
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Every key of the sections in the output's encoding, with its "=", made once per call.
struct Keys {
  std::array<FixedText, kFieldCount<decltype(kDocumentFields)>> fields{};
  FixedText document_end{};

  explicit Keys(LineForm form) {
    auto convert = [form](std::string_view utf8, std::string_view tail) {
      FixedText out;
      char* end = form == LineForm::Utf8 ? append_bytes(utf8, out.bytes.data())
                                         : append_cp1251(utf8, out.bytes.data());
      end = append_bytes(tail, end);
      out.size = static_cast<size_t>(end - out.bytes.data());
      return out;
    };
    size_t i = 0;
    for_each_field(kDocumentFields, [&](const auto& row) { fields[i++] = convert(row.key, "="); });
    document_end = convert(kDocumentEnd, "");
  }
};

// Room past a document's last line for the padding of a key copied whole.
constexpr size_t kKeySlack = sizeof(FixedText::bytes);

// The most bytes of a document besides its texts: every key, "=" and line break, the longest
// date and amount texts.
constexpr size_t kDocumentOverhead = [] {
  size_t bytes = kDocumentEnd.size();
  for_each_field(kDocumentFields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    bytes += row.key.size() + 1;
    if constexpr (Row::kind == FieldKind::Date) bytes += sizeof(DateText::data);
    if constexpr (Row::kind == FieldKind::Amount) bytes += sizeof(AmountText::data);
  });
  return bytes;
}();

// day.month.year with the year as the canonical text has it (four digits, or a sign and more),
// which the reader takes back for the same date.
char* append_date(Date date, char* at) {
  const DateText text = format_date(date);
  const std::string_view canonical = text.view();
  const size_t year_end = canonical.size() - 6;
  at = append_bytes(canonical.substr(canonical.size() - 2), at);
  *at++ = '.';
  at = append_bytes(canonical.substr(year_end + 1, 2), at);
  *at++ = '.';
  return append_bytes(canonical.substr(0, year_end), at);
}

size_t document_bound(const Document& document, size_t newline_size) {
  constexpr size_t kLines = kFieldCount<decltype(kDocumentFields)> + 1;
  // The slack keeps the padding of each document's last key within its own bound, so that
  // pieces written at once never touch one another.
  size_t bytes = kDocumentOverhead + kLines * newline_size + kKeySlack;
  for_each_field(kDocumentFields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    if constexpr (Row::kind == FieldKind::Text) {
      const auto& value = Row::of(document);
      if constexpr (Row::required) {
        bytes += value.size();
      } else {
        bytes += value ? value->size() : 0;
      }
    }
  });
  // An extra key and "=", its value (decoded, when kept in Windows-1251, to at most its room)
  // and the line break. A key in Windows-1251 takes fewer bytes than in UTF-8.
  for_each_stored_extra(document, [&](std::string_view key, std::string_view value, bool cp1251) {
    bytes += key.size() + 1 + (cp1251 ? cp1251_decoded_room(value) : value.size()) + newline_size;
  });
  return bytes;
}

// A key the reader takes back as written: not empty, and without "=" or a line break. Keys of
// a parse always are; a hook may have made others, which the caller then names.
bool plain_key(std::string_view key) {
  return !key.empty() && key.find_first_of("=\r\n") == std::string_view::npos;
}

char* write_sections(std::span<const Document* const> documents, LineForm form,
                     std::string_view newline, char* out) {
  const Keys keys(form);
  const bool bare_line_feed = newline.size() == 1;
  char* at = out;
  // key=value and the line break; false for a value that would not read back the same.
  // Keys are copied whole, padding included, at a constant size the compiler copies in a few
  // moves; the bytes past the key are written over next (the bound leaves room at the end).
  auto append_key = [](const FixedText& key, char* to) {
    std::memcpy(to, key.bytes.data(), sizeof key.bytes);
    return to + key.size;
  };
  auto append_newline = [&](char* to) {
    if (!bare_line_feed) *to++ = '\r';
    *to++ = '\n';
    return to;
  };
  auto line = [&](const FixedText& key, std::string_view value) {
    // A carriage return before a bare line feed would be read as part of the break.
    if (bare_line_feed && !value.empty() && value.back() == '\r') return false;
    at = append_key(key, at);
    if (form == LineForm::Utf8) {
      if (value.find('\n') != std::string_view::npos) return false;
      at = append_bytes(value, at);
    } else {
      at = append_cp1251(value, at);  // refuses a line feed itself
      if (at == nullptr) return false;
    }
    at = append_newline(at);
    return true;
  };
  for (const Document* document : documents) {
    if (!line(keys.fields[kDocumentKindField], document->text(document->doc_type))) {
      return nullptr;
    }
    bool written = true;
    size_t index = 0;
    for_each_field(kDocumentFields, [&](const auto& row) {
      using Row = std::remove_cvref_t<decltype(row)>;
      const size_t i = index++;
      if (!written || i == kDocumentKindField) return;
      const auto& value = Row::of(*document);
      const auto* item = [&] {
        if constexpr (Row::required) {
          return &value;
        } else {
          return value ? &*value : nullptr;
        }
      }();
      if (item == nullptr) return;
      if constexpr (Row::kind == FieldKind::Text) {
        written = line(keys.fields[i], *item);
      } else {
        // Digits, signs and points: the same bytes in both encodings.
        at = append_key(keys.fields[i], at);
        if constexpr (Row::kind == FieldKind::Date) {
          at = append_date(*item, at);
        } else {
          at = append_bytes(format_amount(*item).view(), at);
        }
        at = append_newline(at);
      }
    });
    if (!written) return nullptr;
    // The keys that name no field, after the fields, in the order the section gave them.
    for_each_stored_extra(*document, [&](std::string_view key, std::string_view value,
                                         bool cp1251) {
      if (!written) return;
      if (!plain_key(key) || value.find('\n') != std::string_view::npos ||
          (bare_line_feed && !value.empty() && value.back() == '\r')) {
        written = false;
        return;
      }
      if (form == LineForm::Utf8) {
        at = append_bytes(key, at);
        *at++ = '=';
        at = cp1251 ? decode_cp1251_into(value, at) : append_bytes(value, at);
      } else {
        at = append_cp1251(key, at);
        if (at != nullptr) {
          *at++ = '=';
          at = cp1251 ? append_bytes(value, at) : append_cp1251(value, at);
        }
        if (at == nullptr) {
          written = false;
          return;
        }
      }
      at = append_newline(at);
    });
    if (!written) return nullptr;
    at = append_key(keys.document_end, at);
    at = append_newline(at);
  }
  return at;
}

}  // namespace

size_t document_sections_bound(std::span<const Document* const> documents,
                               std::string_view newline) {
  size_t bytes = 0;
  for (const Document* document : documents) bytes += document_bound(*document, newline.size());
  return bytes;
}

char* write_document_sections_into(std::span<const Document* const> documents, LineForm form,
                                   std::string_view newline, char* out,
                                   const SectionWriting& options) {
  cyrillic_bytes();  // made here, where a failure to allocate may throw, never on a worker
  const size_t threads = std::min<size_t>(std::max(1u, options.threads), documents.size());
  size_t total = 0;
  std::vector<size_t> bounds;
  if (threads > 1) {
    bounds.reserve(documents.size());
    for (const Document* document : documents) {
      bounds.push_back(document_bound(*document, newline.size()));
      total += bounds.back();
    }
  }
  if (threads <= 1 || total < options.threshold) {
    return write_sections(documents, form, newline, out);
  }
  // Pieces of about equal bounds, each written at its own bound's offset, then moved together.
  struct Piece {
    size_t first = 0;
    size_t last = 0;
    char* start = nullptr;
    char* end = nullptr;
  };
  std::vector<Piece> pieces;
  pieces.reserve(threads);
  size_t first = 0;
  size_t offset = 0;
  size_t taken = 0;
  for (size_t i = 0; i < documents.size(); ++i) {
    taken += bounds[i];
    const bool full = taken * threads >= total * (pieces.size() + 1);
    if (full || i + 1 == documents.size()) {
      pieces.push_back({first, i + 1, out + offset, nullptr});
      first = i + 1;
      offset = taken;
    }
  }
  run_shared_work(pieces.size(), pieces.size(), [&](size_t p) {
    Piece& piece = pieces[p];
    piece.end = write_sections(documents.subspan(piece.first, piece.last - piece.first), form,
                               newline, piece.start);
  });
  char* at = out;
  for (const Piece& piece : pieces) {
    if (piece.end == nullptr) return nullptr;
    const size_t size = static_cast<size_t>(piece.end - piece.start);
    if (piece.start != at) std::memmove(at, piece.start, size);
    at += size;
  }
  return at;
}

std::optional<std::string> write_document_sections(std::span<const Document* const> documents,
                                                   LineForm form, std::string_view newline) {
  std::string out(document_sections_bound(documents, newline), '\0');
  char* end = write_document_sections_into(documents, form, newline, out.data(), {});
  if (end == nullptr) return std::nullopt;
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

}  // namespace corvina
