#include "parse_statement.h"

#include "decode.h"
#include "tokenizer.h"

namespace corvina {

Result<Statement, ErrorRecord> parse_statement(std::string_view bytes,
                                               std::span<const SectionHook> hooks) {
  auto decoded =
      decode_input(bytes, hooks.empty() ? Cp1251Decoding::Deferred : Cp1251Decoding::Whole);
  if (!decoded) return fail(std::move(decoded).error());
  return parse_decoded(decoded.value(), hooks);
}

Result<Statement, ErrorRecord> parse_decoded(const DecodedText& decoded,
                                             std::span<const SectionHook> hooks) {
  if (decoded.deferred) {
    if (hooks.empty()) return parse_cp1251_in_slices(decoded.borrowed);
    // Hooks see whole sections and the header at once: they get the whole text.
    DecodedText whole = decoded;
    decode_deferred(whole);
    return parse_decoded(whole, hooks);
  }
  // An unrecognised line anywhere ends the parse before a single hook has been called;
  // parse_text keeps that without holding a token per line.
  auto state = parse_text(decoded.text(), decoded.encoding, hooks);
  if (!state) return fail(std::move(state).error());
  auto* finished = std::get_if<FinishedState>(&state.value());
  if (finished == nullptr) return fail(ErrorRecord{Unfinished{}});
  return std::move(finished->statement);
}

}  // namespace corvina
