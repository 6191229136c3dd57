#include "exchange_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "account.h"
#include "amount.h"
#include "cp1251_decode.h"
#include "date.h"
#include "document_extra.h"
#include "record_schema.h"
#include "shared_work.h"
#include "simd.h"

namespace corvina {
namespace {

// The highest code point Windows-1251 has (U+2122, the trade mark sign).
constexpr uint32_t kLastCp1251Code = 0x2122;

constexpr std::string_view kDocumentEnd = "КонецДокумента";
constexpr std::string_view kAccountStart = "СекцияРасчСчет";
constexpr std::string_view kAccountEnd = "КонецРасчСчет";

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

// Both tables, fetched once per writing rather than once per text.
struct Cp1251Tables {
  const std::array<int16_t, kLastCp1251Code + 1>& bytes = cp1251_bytes();
  const std::array<int16_t, 128>& cyrillic = cyrillic_bytes();
};

#if defined(CORVINA_SSE2)
// Up to eight letters А-я (D0 90-BF, D1 80-8F) at the start of sixteen bytes of UTF-8, as their
// Windows-1251 bytes C0-FF at out; returns how many there were. Eight bytes are stored whatever
// the count: the caller has that room, its output never being longer than the input left. The
// mirror of the decoder's put_cyrillic_letters: a 16-bit lane holds one letter, its lead in the
// low byte.
size_t put_russian_letters(const unsigned char* in, char* out) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i lead = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
  const __m128i second = _mm_srli_epi16(v, 8);
  const __m128i upper = _mm_cmpeq_epi16(lead, _mm_set1_epi16(0xD0));  // А-п: D0 90-BF
  const __m128i lower = _mm_cmpeq_epi16(lead, _mm_set1_epi16(0xD1));  // р-я: D1 80-8F
  const __m128i upper_ok = _mm_and_si128(
      upper, _mm_and_si128(_mm_cmpgt_epi16(second, _mm_set1_epi16(0x8F)),
                           _mm_cmplt_epi16(second, _mm_set1_epi16(0xC0))));
  const __m128i lower_ok = _mm_and_si128(
      lower, _mm_and_si128(_mm_cmpgt_epi16(second, _mm_set1_epi16(0x7F)),
                           _mm_cmplt_epi16(second, _mm_set1_epi16(0x90))));
  const auto letters = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(upper_ok, lower_ok)));
  // А-п are the second byte + 0x30, р-я + 0x70.
  const __m128i bytes = _mm_sub_epi16(_mm_add_epi16(second, _mm_set1_epi16(0x70)),
                                      _mm_and_si128(upper, _mm_set1_epi16(0x40)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
  return static_cast<size_t>(std::countr_one(letters)) / 2;
}
#endif

// Writes UTF-8 text at `at` in Windows-1251 (never more bytes than the UTF-8 has); nullptr
// when a character has no byte there, or at a line feed.
char* append_cp1251(std::string_view text, char* at, const Cp1251Tables& tables) {
  const auto& bytes = tables.bytes;
  const auto& cyrillic = tables.cyrillic;
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
#if defined(CORVINA_SSE2)
      // Words go up to eight letters at a time.
      if (end - in >= 16) {
        if (const size_t letters = put_russian_letters(in, at); letters > 0) {
          at += letters;
          in += 2 * letters;
          continue;
        }
      }
#endif
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
  std::array<FixedText, kFieldCount<decltype(kIntervalFields)>> interval_fields{};
  FixedText account_number{};
  FixedText account_start{};
  FixedText account_end{};

  Keys(LineForm form, const Cp1251Tables& tables) {
    auto convert = [form, &tables](std::string_view utf8, std::string_view tail) {
      FixedText out;
      char* end = form == LineForm::Utf8 ? append_bytes(utf8, out.bytes.data())
                                         : append_cp1251(utf8, out.bytes.data(), tables);
      end = append_bytes(tail, end);
      out.size = static_cast<size_t>(end - out.bytes.data());
      return out;
    };
    size_t i = 0;
    for_each_field(kDocumentFields, [&](const auto& row) { fields[i++] = convert(row.key, "="); });
    document_end = convert(kDocumentEnd, "");
    i = 0;
    for_each_field(kIntervalFields,
                   [&](const auto& row) { interval_fields[i++] = convert(row.key, "="); });
    account_number = convert(kAccountNumberKey, "=");
    account_start = convert(kAccountStart, "");
    account_end = convert(kAccountEnd, "");
  }
};

// Room past a document's last line for the padding of a key copied whole.
constexpr size_t kKeySlack = sizeof(FixedText::bytes);

// The most bytes of a record's field lines besides their texts: every key and "=", the longest
// date and amount texts (line breaks are counted by the caller).
template <const auto& fields>
constexpr size_t field_lines_overhead() {
  size_t bytes = 0;
  for_each_field(fields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    bytes += row.key.size() + 1;
    if constexpr (Row::kind == FieldKind::Date) bytes += sizeof(DateText::data);
    if constexpr (Row::kind == FieldKind::Amount) bytes += sizeof(AmountText::data);
  });
  return bytes;
}

// The most bytes of a document besides its texts and line breaks.
constexpr size_t kDocumentOverhead =
    kDocumentEnd.size() + field_lines_overhead<kDocumentFields>();

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
  // An extra key and "=", its value (decoded, when kept in Windows-1251, to at most three bytes
  // a byte, and the decoder's slack) and the line break. A key in Windows-1251 takes fewer bytes
  // than in UTF-8. Room that is not written costs nothing: its pages are never touched.
  for_each_stored_extra(document, [&](std::string_view key, std::string_view value, bool cp1251) {
    bytes += key.size() + 1 + (cp1251 ? 3 * value.size() + kCp1251StoreSlack : value.size()) +
             newline_size;
  });
  return bytes;
}

// A key the reader takes back as written: not empty, and without "=" or a line break. Keys of
// a parse always are; a hook may have made others, which the caller then names.
bool plain_key(std::string_view key) {
  // A byte at a time: find_first_of would search its set once per byte of the key.
  if (key.empty()) return false;
  for (const char c : key) {
    if (c == '=' || c == '\r' || c == '\n') return false;
  }
  return true;
}

// Lines at `at`, in the output's encoding and with its line break.
struct LineWriter {
  LineWriter(LineForm form, std::string_view newline)
      : form(form), bare_line_feed(newline.size() == 1), keys(form, tables) {}

  // Keys are copied whole, padding included, at a constant size the compiler copies in a few
  // moves; the bytes past the key are written over next (the bound leaves room at the end).
  void key(const FixedText& key) {
    std::memcpy(at, key.bytes.data(), sizeof key.bytes);
    at += key.size;
  }
  void end_line() {
    if (!bare_line_feed) *at++ = '\r';
    *at++ = '\n';
  }
  // key=value and the line break; false for a value that would not read back the same.
  bool text_line(const FixedText& key_text, std::string_view value) {
    // A carriage return before a bare line feed would be read as part of the break.
    if (bare_line_feed && !value.empty() && value.back() == '\r') return false;
    key(key_text);
    if (form == LineForm::Utf8) {
      if (value.find('\n') != std::string_view::npos) return false;
      at = append_bytes(value, at);
    } else {
      at = append_cp1251(value, at, tables);  // refuses a line feed itself
      if (at == nullptr) return false;
    }
    end_line();
    return true;
  }
  // A date or an amount: digits, signs and points, the same bytes in both encodings.
  template <typename Value>
  void value_line(const FixedText& key_text, const Value& value) {
    key(key_text);
    if constexpr (std::is_same_v<Value, Date>) {
      at = append_date(value, at);
    } else {
      at = append_bytes(format_amount(value).view(), at);
    }
    end_line();
  }

  const LineForm form;
  const bool bare_line_feed;
  const Cp1251Tables tables;
  const Keys keys;
  char* at = nullptr;
};

char* write_sections(std::span<const Document* const> documents, LineForm form,
                     std::string_view newline, char* out) {
  LineWriter w(form, newline);
  const Keys& keys = w.keys;
  w.at = out;
  for (const Document* document : documents) {
    if (!w.text_line(keys.fields[kDocumentKindField], document->text(document->doc_type))) {
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
        written = w.text_line(keys.fields[i], *item);
      } else {
        w.value_line(keys.fields[i], *item);
      }
    });
    if (!written) return nullptr;
    // The keys that name no field, after the fields, in the order the section gave them.
    for_each_stored_extra(*document, [&](std::string_view key, std::string_view value,
                                         bool cp1251) {
      if (!written) return;
      if (!plain_key(key) || value.find('\n') != std::string_view::npos ||
          (w.bare_line_feed && !value.empty() && value.back() == '\r')) {
        written = false;
        return;
      }
      char* at = w.at;
      if (form == LineForm::Utf8) {
        at = append_bytes(key, at);
        *at++ = '=';
        at = cp1251 ? decode_cp1251_into(value, at) : append_bytes(value, at);
      } else {
        at = append_cp1251(key, at, w.tables);
        if (at != nullptr) {
          *at++ = '=';
          at = cp1251 ? append_bytes(value, at) : append_cp1251(value, at, w.tables);
        }
        if (at == nullptr) {
          written = false;
          return;
        }
      }
      w.at = at;
      w.end_line();
    });
    if (!written) return nullptr;
    w.key(keys.document_end);
    w.end_line();
  }
  return w.at;
}

// The most bytes of an interval's section besides its account number and line breaks.
constexpr size_t kIntervalOverhead = kAccountStart.size() + kAccountEnd.size() +
                                     kAccountNumberKey.size() + 1 +
                                     field_lines_overhead<kIntervalFields>();

// Where the account's number goes among an interval's lines: after the period, as banks write it.
inline constexpr size_t kAccountNumberAfter = 2;

}  // namespace

size_t account_sections_bound(std::span<const AccountToWrite> accounts,
                              std::string_view newline) {
  constexpr size_t kLines = kFieldCount<decltype(kIntervalFields)> + 3;
  size_t bytes = 0;
  for (const AccountToWrite& account : accounts) {
    bytes += account.account->intervals.size() *
             (kIntervalOverhead + account.number.size() + kLines * newline.size() + kKeySlack);
  }
  return bytes;
}

char* write_account_sections_into(std::span<const AccountToWrite> accounts, LineForm form,
                                  std::string_view newline, char* out) {
  LineWriter w(form, newline);
  const Keys& keys = w.keys;
  w.at = out;
  const auto write_interval = [&](std::string_view number, const Interval& interval) {
    w.key(keys.account_start);
    w.end_line();
    size_t index = 0;
    bool written = true;
    for_each_field(kIntervalFields, [&](const auto& row) {
      using Row = std::remove_cvref_t<decltype(row)>;
      const size_t i = index++;
      if (i == kAccountNumberAfter) written = w.text_line(keys.account_number, number);
      if (!written) return;  // nothing more is written once a line is refused
      const auto& value = Row::of(interval);
      if constexpr (Row::required) {
        w.value_line(keys.interval_fields[i], value);
      } else {
        if (value) w.value_line(keys.interval_fields[i], *value);
      }
    });
    if (!written) return false;
    w.key(keys.account_end);
    w.end_line();
    return true;
  };
  for (const AccountToWrite& account : accounts) {
    // The reader files an account's intervals by start date and puts each new one just before
    // the last of those starting the same day: a run of one day is written with its last first.
    const std::vector<Interval>& intervals = account.account->intervals;
    size_t run_start = 0;
    for (size_t i = 1; i <= intervals.size(); ++i) {
      if (i < intervals.size() && intervals[i].date_start == intervals[run_start].date_start) {
        continue;
      }
      if (!write_interval(account.number, intervals[i - 1])) return nullptr;
      for (size_t j = run_start; j + 1 < i; ++j) {
        if (!write_interval(account.number, intervals[j])) return nullptr;
      }
      run_start = i;
    }
  }
  return w.at;
}

// Below this many documents their room is measured on the calling thread alone.
constexpr size_t kDocumentsMeasuredAlone = 4096;

SectionRoom document_sections_room(std::span<const Document* const> documents,
                                   std::string_view newline, const SectionWriting& options) {
  SectionRoom room;
  const size_t threads = std::min<size_t>(std::max(1u, options.threads), documents.size());
  if (threads <= 1) {
    for (const Document* document : documents) {
      room.total += document_bound(*document, newline.size());
    }
    return room;
  }
  // Each document's room is kept, to cut the writing into pieces of about equal room.
  room.each.resize(documents.size());
  const size_t parts = documents.size() < kDocumentsMeasuredAlone ? 1 : threads;
  std::vector<size_t> sums(parts, 0);
  const auto measure = [&](size_t part) {
    const size_t first = documents.size() * part / parts;
    const size_t last = documents.size() * (part + 1) / parts;
    size_t sum = 0;
    for (size_t i = first; i < last; ++i) {
      room.each[i] = document_bound(*documents[i], newline.size());
      sum += room.each[i];
    }
    sums[part] = sum;
  };
  if (parts == 1) {
    measure(0);
  } else {
    run_shared_work(parts, parts, measure);
  }
  for (const size_t sum : sums) room.total += sum;
  return room;
}

size_t document_sections_bound(std::span<const Document* const> documents,
                               std::string_view newline) {
  return document_sections_room(documents, newline, {}).total;
}

char* write_document_sections_into(std::span<const Document* const> documents, LineForm form,
                                   std::string_view newline, char* out,
                                   const SectionWriting& options) {
  return write_document_sections_into(documents, form, newline, out, options,
                                      document_sections_room(documents, newline, options));
}

char* write_document_sections_into(std::span<const Document* const> documents, LineForm form,
                                   std::string_view newline, char* out,
                                   const SectionWriting& options, const SectionRoom& room) {
  cyrillic_bytes();  // made here, where a failure to allocate may throw, never on a worker
  const size_t threads = std::min<size_t>(std::max(1u, options.threads), documents.size());
  const size_t total = room.total;
  const std::vector<size_t>& bounds = room.each;
  if (threads <= 1 || total < options.threshold || bounds.size() != documents.size()) {
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
