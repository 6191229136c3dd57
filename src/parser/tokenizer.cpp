#include "tokenizer.h"

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "whitespace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvina {
namespace {

constexpr std::string_view kMarker = "1CClientBankExchange";
constexpr std::string_view kAccountStart = "СекцияРасчСчет";
constexpr std::string_view kAccountEnd = "КонецРасчСчет";
constexpr std::string_view kDocumentStartKey = "СекцияДокумент";
constexpr std::string_view kDocumentEnd = "КонецДокумента";
constexpr std::string_view kEndOfFile = "КонецФайла";

// The keyword lines come in three lengths (20, 26 and 28 bytes, the marker and "КонецФайла"
// sharing one): the length rules out almost every line before a single byte is compared.
std::optional<TokenKind> keyword_kind(std::string_view line) {
  const auto is = [&](std::string_view keyword) {
    return std::memcmp(line.data(), keyword.data(), keyword.size()) == 0;
  };
  static_assert(kMarker.size() == kEndOfFile.size());
  static_assert(kAccountStart.size() == kDocumentEnd.size());
  switch (line.size()) {
    case kMarker.size():
      if (is(kMarker)) return TokenKind::Marker;
      if (is(kEndOfFile)) return TokenKind::EndOfFile;
      break;
    case kAccountEnd.size():
      if (is(kAccountEnd)) return TokenKind::AccountEnd;
      break;
    case kAccountStart.size():
      if (is(kAccountStart)) return TokenKind::AccountStart;
      if (is(kDocumentEnd)) return TokenKind::DocumentEnd;
      break;
    default:
      break;
  }
  return std::nullopt;
}

bool is_blank_line(std::string_view line) {
  if (line.empty()) return true;
  // Most lines start with a letter of a key: decide those without decoding anything.
  const unsigned char first = static_cast<unsigned char>(line[0]);
  if (first < 0x80 && !is_white_space(first)) return false;
  // Keys are Cyrillic, so most lines start with a lead byte no White_Space character has
  // (those above ASCII start with C2, E1, E2 or E3).
  if (first >= 0x80 && first != 0xC2 && (first < 0xE1 || first > 0xE3)) return false;
  return is_blank(line);
}

}  // namespace

TokenReader::Status TokenReader::next(Token& token) {
  const char* const data = text_.data();
  const size_t size = text_.size();
  while (pos_ < size) {
    // One pass finds both the LF that ends the line and the first "=" in it: two memchr calls
    // per line cost more than the scan itself on lines of a few dozen bytes.
    size_t end = size;
    size_t eq = size;
    bool has_lf = false;
    size_t at = pos_;
#if defined(__SSE2__)
    const __m128i lf_bytes = _mm_set1_epi8('\n');
    const __m128i eq_bytes = _mm_set1_epi8('=');
    for (; size - at >= 16; at += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
      const auto mask_of = [&block](__m128i bytes) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, bytes)));
      };
      const unsigned lfs = mask_of(lf_bytes);
      const unsigned eqs = mask_of(eq_bytes);
      if (eq == size && eqs != 0) eq = at + static_cast<size_t>(std::countr_zero(eqs));
      if (lfs != 0) {
        end = at + static_cast<size_t>(std::countr_zero(lfs));
        has_lf = true;
        break;
      }
    }
#endif
    for (; !has_lf && at < size; ++at) {
      if (data[at] == '=' && eq == size) eq = at;
      if (data[at] == '\n') {
        end = at;
        has_lf = true;
      }
    }
    const bool has_eq = eq < end;
    std::string_view line(data + pos_, end - pos_);
    // A CR is a line break only as half of CR LF; a final CR with no LF stays in the line.
    if (has_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t key_length = eq - pos_;
    pos_ = has_lf ? end + 1 : size;
    if (lineno_ != std::numeric_limits<LineNumber>::max()) ++lineno_;

    if (is_blank_line(line)) continue;

    line_ = line;
    token.line = lineno_;
    if (has_eq) {
      const std::string_view key = line.substr(0, key_length);
      token.value = line.substr(key_length + 1);
      if (key == kDocumentStartKey) {
        token.kind = TokenKind::DocumentStart;
        token.key = std::string_view();
      } else {
        token.kind = TokenKind::Attribute;
        token.key = key;
      }
    } else if (const std::optional<TokenKind> kind = keyword_kind(line)) {
      token.kind = *kind;
      token.key = std::string_view();
      token.value = std::string_view();
    } else {
      return Status::Unrecognized;
    }
    return Status::Token;
  }
  return Status::End;
}

ErrorRecord TokenReader::unrecognized() const {
  return ErrorRecord{UnrecognizedLine{lineno_, std::string(line_)}};
}

Result<std::vector<Token>, ErrorRecord> read_tokens(std::string_view text) {
  std::vector<Token> tokens;
  // Real statements average well over 24 bytes a line, so this rarely has to grow, and it
  // costs no pass over the text.
  tokens.reserve(text.size() / 24 + 8);
  TokenReader reader(text);
  Token token;
  for (;;) {
    switch (reader.next(token)) {
      case LineStatus::Token:
        tokens.push_back(token);
        break;
      case LineStatus::TextEnds:  // the text is the caller's: never reported
      case LineStatus::End:
        return tokens;
      case LineStatus::Unrecognized:
        return fail(reader.unrecognized());
    }
  }
}

}  // namespace corvina
