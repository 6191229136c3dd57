// read_tokens: the input's lines, numbered and classified.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "line_form.h"
#include "result.h"
#include "statement.h"

namespace corvina {

// Declaration order is part of the interface.
enum class TokenKind : uint8_t {
  Marker,         // "1CClientBankExchange"
  AccountStart,   // "СекцияРасчСчет"
  AccountEnd,     // "КонецРасчСчет"
  DocumentStart,  // "СекцияДокумент=" + kind; the kind is in `value`
  DocumentEnd,    // "КонецДокумента"
  EndOfFile,      // "КонецФайла"
  Attribute,      // key "=" value
};

// What a source of lines (a reader over a whole text, or a token list) yields next.
enum class LineStatus : uint8_t {
  Token,         // the next classified line is in the token
  End,           // no lines are left
  Unrecognized,  // the line just read has no "=" and is no keyword line: the parse's error
};

// Views into the text read: a token list must not outlive it. The texts are written in the
// source's LineForm.
struct Token {
  std::string_view key;    // attribute key; empty for other kinds
  std::string_view value;  // attribute value, or the kind of a document start
  LineNumber line = 0;
  TokenKind kind = TokenKind::Attribute;
};

// Splits text at LF (dropping one CR before each LF), numbers every line from 1, skips blank
// lines (empty or only White_Space characters) and classifies the rest, untrimmed. Fails with
// UnrecognizedLine for the first non-blank line that has no "=" and is no keyword line; nothing
// after it is read. Copies no text except into that error.
//
// Line numbers are 32-bit. Past line 4294967295 (an input of more than 4 GiB of line breaks)
// numbers stay at 4294967295 rather than wrapping to small, misleading values.
[[nodiscard]] Result<std::vector<Token>, ErrorRecord> read_tokens(std::string_view text);

// The tokens of read_tokens one at a time, for callers that need no list of them (a list of a
// 100 MB statement is about as large as the text itself). With LineForm::Cp1251 the text is
// Windows-1251 bytes, read as they are: keywords and blank lines are told in that form, and
// only the unrecognised line is decoded, for its error.
template <LineForm form>
class BasicTokenReader {
 public:
  using Status = LineStatus;

  explicit BasicTokenReader(std::string_view text) : text_(text) {}

  // Token: the next token is in token. End: no lines are left. Unrecognized: the line just read
  // is the error of read_tokens, given by unrecognized(); reading on continues after it.
  Status next(Token& token);
  ErrorRecord unrecognized() const;

  // Where the next line starts in the text, and the number of the last line read.
  size_t position() const { return pos_; }
  LineNumber lines_read() const { return lineno_; }
  size_t bytes_read() const { return pos_; }
  size_t bytes_total() const { return text_.size(); }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  LineNumber lineno_ = 0;
  std::string_view line_;  // the last line read
};

extern template class BasicTokenReader<LineForm::Utf8>;
extern template class BasicTokenReader<LineForm::Cp1251>;
using TokenReader = BasicTokenReader<LineForm::Utf8>;
using Cp1251TokenReader = BasicTokenReader<LineForm::Cp1251>;

}  // namespace corvina
