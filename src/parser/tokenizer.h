// read_tokens: the input's lines, numbered and classified.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "line_form.h"
#include "result.h"
#include "statement.h"

#include "simd.h"

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

namespace tokenizer_detail {

// The keyword lines, as the lines of `form` write them.
template <LineForm form>
struct Keywords {
  static constexpr FixedText kMarker = written_as<form>("1CClientBankExchange");
  static constexpr FixedText kAccountStart = written_as<form>("СекцияРасчСчет");
  static constexpr FixedText kAccountEnd = written_as<form>("КонецРасчСчет");
  static constexpr FixedText kDocumentStartKey = written_as<form>("СекцияДокумент");
  static constexpr FixedText kDocumentEnd = written_as<form>("КонецДокумента");
  static constexpr FixedText kEndOfFile = written_as<form>("КонецФайла");
};

// Whether a line starting with this byte cannot be blank: no White_Space character starts with
// it. Key lines start with a letter, so nearly every line is told by its first byte.
template <LineForm form>
inline bool starts_with_no_space(unsigned char first) {
  if (first > 0x20 && first < 0x80) return true;
  if constexpr (form == LineForm::Cp1251) {
    return first >= 0x80 && first != 0xA0;
  } else {
    // White_Space characters above ASCII start with C2, E1, E2 or E3.
    return first >= 0x80 && first != 0xC2 && (first < 0xE1 || first > 0xE3);
  }
}

}  // namespace tokenizer_detail

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
  //
  // The common line, an attribute, is read here, inline in the caller's loop; blank lines,
  // keyword lines and the rest go to the out-of-line part.
  Status next(Token& token) {
    using Keys = tokenizer_detail::Keywords<form>;
    while (pos_ < text_.size()) {
      const Line line = read_line();
      const std::string_view text = line.text;
      if (line.key_length != kNoEquals && !text.empty() &&
          tokenizer_detail::starts_with_no_space<form>(static_cast<unsigned char>(text[0]))) {
        const std::string_view key(text.data(), line.key_length);
        if (key != Keys::kDocumentStartKey.view()) {
          line_ = text;
          token.line = lineno_;
          token.kind = TokenKind::Attribute;
          token.key = key;
          token.value = std::string_view(text.data() + line.key_length + 1,
                                         text.size() - line.key_length - 1);
          return Status::Token;
        }
      }
      if (const std::optional<Status> status = classify(line, token)) return *status;
    }
    return Status::End;
  }
  ErrorRecord unrecognized() const;

  // Where the next line starts in the text, and the number of the last line read.
  size_t position() const { return pos_; }
  LineNumber lines_read() const { return lineno_; }
  size_t bytes_read() const { return pos_; }
  size_t bytes_total() const { return text_.size(); }

 private:
  static constexpr size_t kNoEquals = SIZE_MAX;
  struct Line {
    std::string_view text;  // without its line break
    size_t key_length;      // bytes before the first "=", or kNoEquals
  };

  // The line at pos_, which it moves past, and its number.
  Line read_line() {
    const char* const data = text_.data();
    const size_t size = text_.size();
    // One pass finds both the LF that ends the line and the first "=" in it: two memchr calls
    // per line cost more than the scan itself on lines of a few dozen bytes.
    size_t end = size;
    size_t eq = size;
    bool has_lf = false;
    size_t at = pos_;
#if defined(CORVINA_SSE2)
    // Until the first "=" or LF, each block is compared with both; after an "=", with the LF
    // alone. A block holding both settles the line at once: an "=" past the LF is dropped below.
    const __m128i lf_bytes = _mm_set1_epi8('\n');
    const __m128i eq_bytes = _mm_set1_epi8('=');
    // Blocks start before this; one bound that does not move lets the compilers keep a single
    // counter in the loops.
    const size_t blocks_end = size >= 16 ? size - 15 : 0;
    for (; at < blocks_end; at += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
      const __m128i lf_hits = _mm_cmpeq_epi8(block, lf_bytes);
      const __m128i eq_hits = _mm_cmpeq_epi8(block, eq_bytes);
      if (_mm_movemask_epi8(_mm_or_si128(lf_hits, eq_hits)) == 0) continue;
      const auto lfs = static_cast<unsigned>(_mm_movemask_epi8(lf_hits));
      const auto eqs = static_cast<unsigned>(_mm_movemask_epi8(eq_hits));
      if (eqs != 0) eq = at + static_cast<size_t>(std::countr_zero(eqs));
      if (lfs != 0) {
        end = at + static_cast<size_t>(std::countr_zero(lfs));
        has_lf = true;
        break;
      }
      for (at += 16; at < blocks_end; at += 16) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const auto next_lfs =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(next, lf_bytes)));
        if (next_lfs != 0) {
          end = at + static_cast<size_t>(std::countr_zero(next_lfs));
          has_lf = true;
          break;
        }
      }
      break;
    }
#endif
    for (; !has_lf && at < size; ++at) {
      if (data[at] == '=' && eq == size) eq = at;
      if (data[at] == '\n') {
        end = at;
        has_lf = true;
      }
    }
    size_t length = end - pos_;
    // A CR is a line break only as half of CR LF; a final CR with no LF stays in the line.
    if (has_lf && length != 0 && data[end - 1] == '\r') --length;
    const Line line{std::string_view(data + pos_, length), eq < end ? eq - pos_ : kNoEquals};
    pos_ = has_lf ? end + 1 : size;
    if (lineno_ != std::numeric_limits<LineNumber>::max()) ++lineno_;
    return line;
  }

  // Any line but an attribute under a key that starts with no space: nothing for a blank line,
  // else its token or Unrecognized.
  std::optional<Status> classify(const Line& line, Token& token);

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
