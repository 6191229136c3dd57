#include "tokenizer.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "whitespace.h"

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
  return is_blank(line);
}

}  // namespace

Result<std::vector<Token>, ErrorRecord> read_tokens(std::string_view text) {
  std::vector<Token> tokens;
  // Real statements average well over 24 bytes a line, so this rarely has to grow, and it
  // costs no pass over the text.
  tokens.reserve(text.size() / 24 + 8);

  const char* const data = text.data();
  const size_t size = text.size();
  LineNumber lineno = 0;
  size_t pos = 0;
  while (pos < size) {
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    const size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data)
                                     : size;
    std::string_view line(data + pos, end - pos);
    // A CR is a line break only as half of CR LF; a final CR with no LF stays in the line.
    if (lf != nullptr && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = lf != nullptr ? end + 1 : size;
    if (lineno != std::numeric_limits<LineNumber>::max()) ++lineno;

    if (is_blank_line(line)) continue;

    Token token;
    token.line = lineno;
    if (const void* eq = std::memchr(line.data(), '=', line.size())) {
      const size_t key_length = static_cast<size_t>(static_cast<const char*>(eq) - line.data());
      const std::string_view key = line.substr(0, key_length);
      token.value = line.substr(key_length + 1);
      if (key == kDocumentStartKey) {
        token.kind = TokenKind::DocumentStart;
      } else {
        token.kind = TokenKind::Attribute;
        token.key = key;
      }
    } else if (const std::optional<TokenKind> kind = keyword_kind(line)) {
      token.kind = *kind;
    } else {
      return fail(ErrorRecord{UnrecognizedLine{lineno, std::string(line)}});
    }
    tokens.push_back(token);
  }
  return tokens;
}

}  // namespace corvina
