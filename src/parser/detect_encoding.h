// decode_input: is this a statement, and in which encoding is it written?
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"
#include "statement.h"

namespace corvina {

// The text of a statement as UTF-8. Well-formed UTF-8 input is used in place (no copy); every
// other input is decoded once into `owned`, unless decoding Windows-1251 was deferred: then
// `borrowed` holds the input bytes and there is no text() yet (a parse without hooks reads
// them as they are and decodes only what it keeps). text() is computed on each call, so
// a DecodedText can be moved freely; a borrowed text lives as long as the caller's input buffer.
struct DecodedText {
  Encoding encoding = Encoding::Utf8;
  bool in_place = true;
  bool deferred = false;  // Windows-1251 bytes in `borrowed`, judged a statement, not decoded
  std::string_view borrowed;
  std::string owned;

  std::string_view text() const { return in_place ? borrowed : std::string_view(owned); }
  // Whether the text, or the bytes still to be decoded, are the caller's input buffer.
  bool refers_to_input() const { return in_place || deferred; }
};

enum class Cp1251Decoding : uint8_t { Whole, Deferred };

// Fails with EmptyInput for zero bytes and NotStatement when the input is not a statement:
// well-formed UTF-8 whose first line is not "1CClientBankExchange" (a byte-order mark
// included); otherwise a decoder chosen by byte-order mark (UTF-8, UTF-16LE, UTF-16BE; else
// Windows-1251) that meets an error, an implausible text (96% of the first 20480 characters
// must be letters, digits, ASCII punctuation, the usual whitespace or at or above U+0400), or a
// first decoded line that is not the marker. Decoded (non-UTF-8) input reports Cp1251 whatever
// decoder was used.
//
// With Cp1251Decoding::Deferred, input taken for Windows-1251 is judged without being decoded
// (every byte is one character, so the first 20480 bytes are the first 20480 characters) and is
// returned deferred; the outcome is the same as with Whole. `well_formed_utf8`, when given, is
// is_well_formed_utf8(bytes) found by the caller (on several threads), and is not found again.
[[nodiscard]] Result<DecodedText, ErrorRecord> decode_input(
    std::string_view bytes, Cp1251Decoding cp1251 = Cp1251Decoding::Whole,
    std::optional<bool> well_formed_utf8 = std::nullopt);

// Decodes deferred Windows-1251 bytes into `owned`; does nothing to any other text.
void decode_deferred(DecodedText& decoded);

}  // namespace corvina
