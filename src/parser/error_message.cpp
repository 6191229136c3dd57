// Every fact about a failed parse, taken from its record in this one place: the module shows
// the message as it is and picks its exception and detail classes from the row's.
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "statement.h"

namespace corvina {

namespace {

// A syntax error: the message's pieces, and which of them are the detail's texts.
ErrorFacts syntax(ErrorDetail detail, LineNumber lineno, MessagePieces message,
                  std::array<uint8_t, 2> texts, size_t count) {
  return {ErrorClass::Syntax, detail, lineno, message, texts, count};
}

// A failure of the input as a whole: one fixed message, no line, no detail.
ErrorFacts whole(ErrorClass error_class, std::string_view message) {
  return {error_class, ErrorDetail::None, 0, {{message}, message.empty() ? 0u : 1u}, {}, 0};
}

}  // namespace

ErrorFacts error_facts(const ErrorRecord& error) {
  return std::visit(
      [](const auto& e) -> ErrorFacts {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnexpectedSection>) {
          return syntax(ErrorDetail::UnexpectedSection, e.lineno,
                        {{"Unexpected section '", e.found, "' in context '",
                          context_name(e.context), "'"},
                         5},
                        {1, 3}, 2);
        } else if constexpr (std::is_same_v<T, UnexpectedAttribute>) {
          return syntax(ErrorDetail::UnexpectedAttribute, e.lineno,
                        {{"Unexpected attribute '", e.key, "' = '", e.value, "'"}, 5}, {1, 3}, 2);
        } else if constexpr (std::is_same_v<T, UnrecognizedLine>) {
          return syntax(ErrorDetail::UnrecognizedLine, e.lineno,
                        {{"Unrecognized line: '", e.line, "'"}, 3}, {1}, 1);
        } else if constexpr (std::is_same_v<T, MissingField>) {
          return syntax(ErrorDetail::MissingField, e.lineno,
                        {{"Missing field '", e.field, "' in context '", context_name(e.context),
                          "'"},
                         5},
                        {1, 3}, 2);
        } else if constexpr (std::is_same_v<T, AccountParseError>) {
          return syntax(ErrorDetail::AccountParseError, e.lineno,
                        {{"Account parse error: ", e.message}, 2}, {1}, 1);
        } else if constexpr (std::is_same_v<T, HookError>) {
          return syntax(ErrorDetail::HookError, e.lineno, {{"Hook error: ", e.message}, 2}, {1},
                        1);
        } else if constexpr (std::is_same_v<T, Unfinished>) {
          return whole(ErrorClass::Unfinished, "Statement is not finished");
        } else if constexpr (std::is_same_v<T, NotStatement>) {
          return whole(ErrorClass::NotStatement, "Input is not a 1C statement");
        } else if constexpr (std::is_same_v<T, EmptyInput>) {
          return whole(ErrorClass::EmptyInput, "Input is empty");
        } else {
          static_assert(std::is_same_v<T, Abandoned>);
          return whole(ErrorClass::HostsOwn, "");
        }
      },
      error);
}

std::string error_message(const ErrorRecord& error) {
  const MessagePieces message = error_facts(error).message;
  size_t size = 0;
  for (size_t i = 0; i < message.count; ++i) size += message.pieces[i].size();
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < message.count; ++i) out += message.pieces[i];
  return out;
}

}  // namespace corvina
