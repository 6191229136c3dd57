// Reading code points out of UTF-8 text.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvina {

struct CodePoint {
  char32_t value;
  size_t length;  // bytes consumed, at least 1
};

// The code point that starts at text[pos] (pos < text.size()). Text inside the parser is
// well-formed UTF-8, but texts from callers may not be: a byte that does not start a
// well-formed sequence yields U+FFFD and length 1, so a walk always advances and never reads
// past the end.
constexpr CodePoint read_code_point(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1};
  size_t length;
  char32_t value;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, min = 0x10000;
  } else {
    return {0xFFFD, 1};
  }
  if (text.size() - pos < length) return {0xFFFD, 1};
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return {0xFFFD, 1};
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return {0xFFFD, 1};
  }
  return {value, length};
}

}  // namespace corvina
