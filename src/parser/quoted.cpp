#include "quoted.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "utf8.h"

namespace corvina {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kEscapedRanges[] = {
#include "unicode_escape_table.inc"
};

bool is_escaped(char32_t c) {
  // Statements are Russian text: Cyrillic letters are most of what is ever quoted, so they skip
  // the search. U+0483..U+0489 are combining marks and take the slow path.
  if ((c >= 0x0410 && c <= 0x044F) || c == 0x0401 || c == 0x0451) return false;
  const auto* end = std::end(kEscapedRanges);
  const auto* it = std::upper_bound(
      std::begin(kEscapedRanges), end, c,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return it != std::begin(kEscapedRanges) && c <= std::prev(it)->last;
}

void append_unicode_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

// The two-character escape of an ASCII byte, or 0 when the byte stands for itself or needs the
// \u{...} form.
char short_escape(unsigned char byte) {
  switch (byte) {
    case '\0':
      return '0';
    case '\t':
      return 't';
    case '\r':
      return 'r';
    case '\n':
      return 'n';
    case '\\':
    case '"':
      return static_cast<char>(byte);
    default:
      return 0;
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  // Characters that stand for themselves are copied in runs, not one by one.
  size_t run_start = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      ++pos;
      continue;
    }
    const CodePoint c = read_code_point(text, pos);
    const bool malformed = c.value == 0xFFFD && c.length == 1;
    const char escape = byte < 0x80 ? short_escape(byte) : 0;
    if (!malformed && escape == 0 && !is_escaped(c.value)) {
      pos += c.length;
      continue;
    }
    out.append(text.data() + run_start, pos - run_start);
    if (escape != 0) {
      out += '\\';
      out += escape;
    } else {
      append_unicode_escape(out, c.value);
    }
    pos += c.length;
    run_start = pos;
  }
  out.append(text.data() + run_start, pos - run_start);
  out += '"';
}

}  // namespace corvina
