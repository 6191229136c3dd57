#include "whitespace.h"

#include "utf8.h"

namespace corvina {

size_t white_space_prefix(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      // The common case (a blank line of spaces, a space before a date) never decodes.
      if (!is_white_space(byte)) break;
      ++pos;
      continue;
    }
    const CodePoint c = read_code_point(text, pos);
    if (!is_white_space(c.value)) break;
    pos += c.length;
  }
  return pos;
}

}  // namespace corvina
