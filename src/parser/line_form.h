// How the texts of the lines a parse reads are written.
//
// A Windows-1251 statement without hooks is read in its own bytes: the line breaks, "=" and the
// digits of dates and amounts are the same bytes as in UTF-8, and keys and keywords are matched
// in their Windows-1251 form, so only the values a record keeps are ever decoded, straight into
// the record's block. Everything else reads UTF-8 (decoded, or the input itself).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utf8.h"

namespace corvina {

enum class LineForm : uint8_t { Utf8, Cp1251 };

// A short constant text held by value, so that a converted form can be a compile-time constant.
struct FixedText {
  std::array<char, 48> bytes{};
  size_t size = 0;
  constexpr std::string_view view() const { return {bytes.data(), size}; }
};

// The Windows-1251 form of a constant of the format (a key or a keyword): ASCII, А-я, Ё and ё.
// Anything else is a mistake in the constant and stops the compilation.
constexpr FixedText cp1251_constant(std::string_view utf8) {
  FixedText out;
  for (size_t i = 0; i < utf8.size();) {
    const CodePoint point = read_code_point(utf8, i);
    const char32_t code = point.value;
    i += point.length;
    unsigned byte;
    if (code < 0x80) {
      byte = code;
    } else if (code >= 0x410 && code <= 0x44F) {
      byte = code - 0x410 + 0xC0;
    } else if (code == 0x401) {
      byte = 0xA8;
    } else if (code == 0x451) {
      byte = 0xB8;
    } else {
      throw "no Windows-1251 form";
    }
    if (out.size == out.bytes.size()) throw "constant too long";
    out.bytes[out.size++] = static_cast<char>(byte);
  }
  return out;
}

// A constant as the lines of `form` write it; a constant given in UTF-8 stays as it is.
template <LineForm form>
constexpr FixedText written_as(std::string_view utf8) {
  if constexpr (form == LineForm::Cp1251) {
    return cp1251_constant(utf8);
  } else {
    FixedText out;
    if (utf8.size() > out.bytes.size()) throw "constant too long";
    for (size_t i = 0; i < utf8.size(); ++i) out.bytes[i] = utf8[i];
    out.size = utf8.size();
    return out;
  }
}

}  // namespace corvina
