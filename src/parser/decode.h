// decode_input: is this a statement, and in which encoding is it written?
#pragma once

#include <string>
#include <string_view>

#include "result.h"
#include "statement.h"

namespace corvina {

// The text of a statement as UTF-8. Well-formed UTF-8 input is used in place (no copy); every
// other input is decoded once into `owned`. text() is computed on each call, so a DecodedText
// can be moved freely; a borrowed text lives as long as the caller's input buffer.
struct DecodedText {
  Encoding encoding = Encoding::Utf8;
  bool in_place = true;
  std::string_view borrowed;
  std::string owned;

  std::string_view text() const { return in_place ? borrowed : std::string_view(owned); }
};

// Fails with EmptyInput for zero bytes and NotStatement when the input is not a statement:
// well-formed UTF-8 whose first line is not "1CClientBankExchange" (a byte-order mark
// included); otherwise a decoder chosen by byte-order mark (UTF-8, UTF-16LE, UTF-16BE; else
// Windows-1251) that meets an error, an implausible text (96% of the first 20480 characters
// must be letters, digits, ASCII punctuation, the usual whitespace or at or above U+0400), or a
// first decoded line that is not the marker. Decoded (non-UTF-8) input reports Cp1251 whatever
// decoder was used.
[[nodiscard]] Result<DecodedText, ErrorRecord> decode_input(std::string_view bytes);

// True when bytes is well-formed UTF-8 by the WHATWG decoder's rules (no surrogates, no
// overlong forms, nothing above U+10FFFF).
bool is_well_formed_utf8(std::string_view bytes);

}  // namespace corvina
