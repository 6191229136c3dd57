// The Unicode White_Space property, which decides blank lines and the spaces a date may hold.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvina {

// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F, U+3000: the 25 code points with the property. A fixed list: the property has not
// changed since Unicode 4.1.
constexpr bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Bytes of White_Space characters at the start of UTF-8 text.
size_t white_space_prefix(std::string_view text);

// Empty, or only White_Space characters.
inline bool is_blank(std::string_view text) { return white_space_prefix(text) == text.size(); }

}  // namespace corvina
