// Likely causes of a failed parse, found in the input once the parse has failed: what a host
// may tell its user besides the message, which stays exactly as it is.
//
// Each cause is a common way for a real statement to be refused: an editor that saved it with
// a byte-order mark, a file saved as UTF-16, a statement written in the DOS code page, a key
// written with blanks around its "=" (its key then ends in a blank and names no field).
#pragma once

#include <string_view>

#include "statement.h"

namespace corvina {

struct FailureHints {
  bool utf8_byte_order_mark = false;  // a refused input that starts with EF BB BF
  bool utf16_text = false;            // a refused input that looks like UTF-16
  bool dos_code_page = false;         // the header says Кодировка=DOS
  // For a missing field: the line, in the failed section, whose key is the field's name with
  // blanks around it ("Сумма = 1.00"); 0 when there is none.
  LineNumber blank_key_line = 0;
};

// The hints for `error` in the bytes the failed parse was given (none for a hook's failure). Reads no more than the header
// for the encodings, and the lines up to the failed section's end for a missing field.
FailureHints find_failure_hints(std::string_view bytes, const ErrorRecord& error);

// The field a failure says is missing (MissingField, or a builder's "missing field `{key}`"),
// in UTF-8; empty for any other failure.
std::string_view missing_field_of(const ErrorRecord& error);

}  // namespace corvina
