// Every message of a failed parse, rendered from its record in this one place: the module shows
// these texts as they are and only chooses the exception class.
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "statement.h"

namespace corvina {

MessagePieces error_message_pieces(const ErrorRecord& error) {
  return std::visit(
      [](const auto& e) -> MessagePieces {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnexpectedSection>) {
          return {{"Unexpected section '", e.found, "' in context '", context_name(e.context),
                   "'"},
                  5};
        } else if constexpr (std::is_same_v<T, UnexpectedAttribute>) {
          return {{"Unexpected attribute '", e.key, "' = '", e.value, "'"}, 5};
        } else if constexpr (std::is_same_v<T, UnrecognizedLine>) {
          return {{"Unrecognized line: '", e.line, "'"}, 3};
        } else if constexpr (std::is_same_v<T, MissingField>) {
          return {{"Missing field '", e.field, "' in context '", context_name(e.context), "'"},
                  5};
        } else if constexpr (std::is_same_v<T, AccountParseError>) {
          return {{"Account parse error: ", e.message}, 2};
        } else if constexpr (std::is_same_v<T, HookError>) {
          return {{"Hook error: ", e.message}, 2};
        } else if constexpr (std::is_same_v<T, Unfinished>) {
          return {{"Statement is not finished"}, 1};
        } else if constexpr (std::is_same_v<T, NotStatement>) {
          return {{"Input is not a 1C statement"}, 1};
        } else if constexpr (std::is_same_v<T, EmptyInput>) {
          return {{"Input is empty"}, 1};
        } else {
          static_assert(std::is_same_v<T, Abandoned>);
          return {{}, 0};
        }
      },
      error);
}

std::string error_message(const ErrorRecord& error) {
  const MessagePieces message = error_message_pieces(error);
  size_t size = 0;
  for (size_t i = 0; i < message.count; ++i) size += message.pieces[i].size();
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < message.count; ++i) out += message.pieces[i];
  return out;
}

}  // namespace corvina
