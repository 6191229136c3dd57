// Every message of a failed parse, rendered from its record in this one place: the module shows
// these texts as they are and only chooses the exception class.
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "statement.h"

namespace corvina {
namespace {

std::string concat(std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string out;
  out.reserve(size);
  for (std::string_view piece : pieces) out += piece;
  return out;
}

}  // namespace

std::string error_message(const ErrorRecord& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnexpectedSection>) {
          return concat({"Unexpected section '", e.found, "' in context '",
                         context_name(e.context), "'"});
        } else if constexpr (std::is_same_v<T, UnexpectedAttribute>) {
          return concat({"Unexpected attribute '", e.key, "' = '", e.value, "'"});
        } else if constexpr (std::is_same_v<T, UnrecognizedLine>) {
          return concat({"Unrecognized line: '", e.line, "'"});
        } else if constexpr (std::is_same_v<T, MissingField>) {
          return concat({"Missing field '", e.field, "' in context '", context_name(e.context),
                         "'"});
        } else if constexpr (std::is_same_v<T, AccountParseError>) {
          return concat({"Account parse error: ", e.message});
        } else if constexpr (std::is_same_v<T, HookError>) {
          return concat({"Hook error: ", e.message});
        } else if constexpr (std::is_same_v<T, Unfinished>) {
          return "Statement is not finished";
        } else if constexpr (std::is_same_v<T, NotStatement>) {
          return "Input is not a 1C statement";
        } else if constexpr (std::is_same_v<T, EmptyInput>) {
          return "Input is empty";
        } else {
          static_assert(std::is_same_v<T, Abandoned>);
          return std::string();
        }
      },
      error);
}

}  // namespace corvina
