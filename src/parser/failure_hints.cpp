#include "failure_hints.h"

#include <cstring>
#include <optional>
#include <variant>

#include "line_form.h"

namespace corvina {
namespace {

// The header comes before any section, and 1C writes the encoding's line near its top.
constexpr size_t kHeaderBytes = 4096;

constexpr std::string_view kDosCp866 = "\x8A\xAE\xA4\xA8\xE0\xAE\xA2\xAA\xA0=DOS";
constexpr FixedText kDosCp1251 = cp1251_constant("Кодировка=DOS");
constexpr std::string_view kDosUtf8 = "Кодировка=DOS";
constexpr FixedText kSectionCp1251 = cp1251_constant("Секция");
constexpr std::string_view kSectionUtf8 = "Секция";
constexpr std::string_view kMissingPrefix = "missing field `";

bool says_dos(std::string_view bytes) {
  const std::string_view head = bytes.substr(0, kHeaderBytes);
  return head.find(kDosCp866) != std::string_view::npos ||
         head.find(kDosCp1251.view()) != std::string_view::npos ||
         head.find(kDosUtf8) != std::string_view::npos;
}

// A refused input that starts like the marker written in UTF-16, with its mark or without.
bool looks_like_utf16(std::string_view bytes) {
  return bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF") ||
         bytes.starts_with(std::string_view("1\0C\0", 4)) ||
         bytes.starts_with(std::string_view("\0" "1\0C", 4));
}

std::string_view without_blanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether the line's key is `key` with blanks before or after it.
bool has_blank_key(std::string_view line, std::string_view key) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view written = line.substr(0, equals);
  return written != key && without_blanks(written) == key;
}

// The Windows-1251 form of a key of the format, which has only ASCII and Russian letters.
std::optional<FixedText> cp1251_key(std::string_view key) {
  try {
    return cp1251_constant(key);
  } catch (const char*) {
    return std::nullopt;
  }
}

// The line with a blank-written `key` in the section that ends at `end_line`, in UTF-8 or
// Windows-1251 bytes alike: a section start line begins with the same word in both.
LineNumber find_blank_key(std::string_view bytes, std::string_view key, LineNumber end_line) {
  const std::optional<FixedText> key_cp1251 = cp1251_key(key);
  LineNumber found = 0;
  LineNumber lineno = 0;
  size_t at = 0;
  while (at < bytes.size() && ++lineno < end_line) {
    const void* const newline = std::memchr(bytes.data() + at, '\n', bytes.size() - at);
    const size_t end =
        newline ? static_cast<size_t>(static_cast<const char*>(newline) - bytes.data())
                : bytes.size();
    const std::string_view line = bytes.substr(at, end - at);
    at = end + 1;
    if (line.starts_with(kSectionUtf8) || line.starts_with(kSectionCp1251.view())) {
      found = 0;
    } else if (found == 0 && (has_blank_key(line, key) ||
                              (key_cp1251 && has_blank_key(line, key_cp1251->view())))) {
      found = lineno;
    }
  }
  return lineno == end_line ? found : 0;
}

}  // namespace

std::string_view missing_field_of(const ErrorRecord& error) {
  if (const auto* missing = std::get_if<MissingField>(&error)) return missing->field;
  if (const auto* account = std::get_if<AccountParseError>(&error)) {
    const std::string_view message = account->message;
    if (message.starts_with(kMissingPrefix) && message.ends_with('`') &&
        message.size() > kMissingPrefix.size()) {
      return message.substr(kMissingPrefix.size(), message.size() - kMissingPrefix.size() - 1);
    }
  }
  return {};
}

FailureHints find_failure_hints(std::string_view bytes, const ErrorRecord& error) {
  FailureHints hints;
  // A hook's failure is the hook's; an empty input has nothing to look at.
  if (std::holds_alternative<EmptyInput>(error) || std::holds_alternative<HookError>(error) ||
      std::holds_alternative<Abandoned>(error)) {
    return hints;
  }
  if (std::holds_alternative<NotStatement>(error)) {
    hints.utf8_byte_order_mark = bytes.starts_with("\xEF\xBB\xBF");
    hints.utf16_text = looks_like_utf16(bytes);
  }
  hints.dos_code_page = says_dos(bytes);
  const std::string_view field = missing_field_of(error);
  if (!field.empty()) {
    hints.blank_key_line = find_blank_key(bytes, field, error_facts(error).lineno);
  }
  return hints;
}

}  // namespace corvina
