#include "parse_statement.h"

#include "decode.h"
#include "tokenizer.h"

namespace corvina {

Result<Statement, ErrorRecord> parse_statement(std::string_view bytes,
                                               std::span<const SectionHook> hooks) {
  auto decoded = decode_input(bytes);
  if (!decoded) return fail(std::move(decoded).error());
  // Every line is read before any section logic runs: an unrecognised line anywhere ends the
  // parse before a single hook has been called.
  auto tokens = read_tokens(decoded.value().text());
  if (!tokens) return fail(std::move(tokens).error());
  auto state = parse_tokens(tokens.value(), decoded.value().encoding, hooks);
  if (!state) return fail(std::move(state).error());
  auto* finished = std::get_if<FinishedState>(&state.value());
  if (finished == nullptr) return fail(ErrorRecord{Unfinished{}});
  return std::move(finished->statement);
}

}  // namespace corvina
