#include "tokenizer.h"

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "decode.h"
#include "whitespace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvina {
namespace {

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

// The keyword lines come in few lengths: the length rules out almost every line before a
// single byte is compared.
template <LineForm form>
std::optional<TokenKind> keyword_kind(std::string_view line) {
  using K = Keywords<form>;
  const auto is = [&](const FixedText& keyword) {
    return line.size() == keyword.size &&
           std::memcmp(line.data(), keyword.bytes.data(), keyword.size) == 0;
  };
  if (is(K::kMarker)) return TokenKind::Marker;
  if (is(K::kEndOfFile)) return TokenKind::EndOfFile;
  if (is(K::kAccountEnd)) return TokenKind::AccountEnd;
  if (is(K::kAccountStart)) return TokenKind::AccountStart;
  if (is(K::kDocumentEnd)) return TokenKind::DocumentEnd;
  return std::nullopt;
}

bool is_blank_utf8_line(std::string_view line) {
  if (line.empty()) return true;
  // Most lines start with a letter of a key: decide those without decoding anything.
  const unsigned char first = static_cast<unsigned char>(line[0]);
  if (first < 0x80 && !is_white_space(first)) return false;
  // Keys are Cyrillic, so most lines start with a lead byte no White_Space character has
  // (those above ASCII start with C2, E1, E2 or E3).
  if (first >= 0x80 && first != 0xC2 && (first < 0xE1 || first > 0xE3)) return false;
  return is_blank(line);
}

// The White_Space characters Windows-1251 has are the ASCII ones and U+00A0 (byte A0); its
// other bytes above ASCII are no spaces, whatever code point equals the byte (0x85 is "…").
bool is_blank_cp1251_line(std::string_view line) {
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 ? !is_white_space(byte) : byte != 0xA0) return false;
  }
  return true;
}

template <LineForm form>
bool is_blank_line(std::string_view line) {
  if constexpr (form == LineForm::Cp1251) {
    return is_blank_cp1251_line(line);
  } else {
    return is_blank_utf8_line(line);
  }
}

}  // namespace

template <LineForm form>
LineStatus BasicTokenReader<form>::next(Token& token) {
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

    if (is_blank_line<form>(line)) continue;

    line_ = line;
    token.line = lineno_;
    if (has_eq) {
      const std::string_view key = line.substr(0, key_length);
      token.value = line.substr(key_length + 1);
      if (key == Keywords<form>::kDocumentStartKey.view()) {
        token.kind = TokenKind::DocumentStart;
        token.key = std::string_view();
      } else {
        token.kind = TokenKind::Attribute;
        token.key = key;
      }
    } else if (const std::optional<TokenKind> kind = keyword_kind<form>(line)) {
      token.kind = *kind;
      token.key = std::string_view();
      token.value = std::string_view();
    } else {
      return LineStatus::Unrecognized;
    }
    return LineStatus::Token;
  }
  return LineStatus::End;
}

template <LineForm form>
ErrorRecord BasicTokenReader<form>::unrecognized() const {
  if constexpr (form == LineForm::Cp1251) {
    return ErrorRecord{UnrecognizedLine{lineno_, decode_cp1251(line_)}};
  } else {
    return ErrorRecord{UnrecognizedLine{lineno_, std::string(line_)}};
  }
}

template class BasicTokenReader<LineForm::Utf8>;
template class BasicTokenReader<LineForm::Cp1251>;

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
      case LineStatus::End:
        return tokens;
      case LineStatus::Unrecognized:
        return fail(reader.unrecognized());
    }
  }
}

}  // namespace corvina
