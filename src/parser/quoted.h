// The quoted form of a text: how representations and the amount failure text show a value.
#pragma once

#include <string>
#include <string_view>

namespace corvina {

// Appends a double quote, the text with escapes, and a double quote. Escapes: \0 \t \r \n \\ \"
// and \u{hex} for characters with Grapheme_Extend and for the general categories Zs (but not
// U+0020), Zl, Zp, Cc, Cf, Cs, Co and Cn. Everything else, Cyrillic included, stands as itself.
// The text is UTF-8; a byte that does not start a well-formed sequence is shown as \u{fffd}, so
// even corrupt text yields a readable, valid result.
void append_quoted(std::string& out, std::string_view text);

inline std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace corvina
