#include "tokenizer.h"

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "decode.h"
#include "whitespace.h"


namespace corvina {
namespace {

using tokenizer_detail::Keywords;

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
  if (line.empty()) return true;
  // Most lines are told by their first byte, without decoding anything.
  if (tokenizer_detail::starts_with_no_space<form>(static_cast<unsigned char>(line[0]))) {
    return false;
  }
  if constexpr (form == LineForm::Cp1251) {
    return is_blank_cp1251_line(line);
  } else {
    return is_blank(line);
  }
}

}  // namespace

template <LineForm form>
std::optional<LineStatus> BasicTokenReader<form>::classify(const Line& line, Token& token) {
  const std::string_view text = line.text;
  if (is_blank_line<form>(text)) return std::nullopt;
  line_ = text;
  token.line = lineno_;
  if (line.key_length != kNoEquals) {
    const std::string_view key = text.substr(0, line.key_length);
    token.value = text.substr(line.key_length + 1);
    if (key == Keywords<form>::kDocumentStartKey.view()) {
      token.kind = TokenKind::DocumentStart;
      token.key = std::string_view();
    } else {
      token.kind = TokenKind::Attribute;
      token.key = key;
    }
  } else if (const std::optional<TokenKind> kind = keyword_kind<form>(text)) {
    token.kind = *kind;
    token.key = std::string_view();
    token.value = std::string_view();
  } else {
    return LineStatus::Unrecognized;
  }
  return LineStatus::Token;
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
