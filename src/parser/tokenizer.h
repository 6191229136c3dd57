// read_tokens: the input's lines, numbered and classified.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

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

// What a source of lines (a TokenReader, a token list, decoded slices) yields next.
enum class LineStatus : uint8_t {
  Token,         // the next classified line is in the token
  End,           // no lines are left
  Unrecognized,  // the line just read has no "=" and is no keyword line: the parse's error
  TextEnds,      // the text of every token given so far is about to be reused: whoever keeps
                 // views into it must copy them now (only sources that decode in slices)
};

// Views into the decoded text: a token list must not outlive the text it was read from.
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
// 100 MB statement is about as large as the text itself).
class TokenReader {
 public:
  using Status = LineStatus;  // never TextEnds: the text is the caller's and stays

  explicit TokenReader(std::string_view text) : text_(text) {}
  // A reader of text that goes on from lines_before lines read elsewhere: it numbers its first
  // line lines_before + 1.
  TokenReader(std::string_view text, LineNumber lines_before)
      : text_(text), lineno_(lines_before) {}

  // Token: the next token is in token. End: no lines are left. Unrecognized: the line just read
  // is the error of read_tokens, given by unrecognized(); reading on continues after it.
  Status next(Token& token);
  ErrorRecord unrecognized() const;

  // Where the next line starts in the text, and the number of the last line read.
  size_t position() const { return pos_; }
  LineNumber lines_read() const { return lineno_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  LineNumber lineno_ = 0;
  std::string_view line_;  // the last line read
};

}  // namespace corvina
