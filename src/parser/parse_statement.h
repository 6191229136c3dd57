// The whole core parse: bytes in, a Statement or the one error that stopped it.
#pragma once

#include <span>
#include <string_view>

#include "decode.h"
#include "result.h"
#include "state_machine.h"
#include "statement.h"

namespace corvina {

// decode_input, then parse_text (read_tokens over the whole text, then parse_tokens); a run that
// ends before "КонецФайла" is Unfinished. Windows-1251 input without hooks is decoded and read a
// slice at a time (parse_cp1251_in_slices), with the same outcome. The Statement owns its
// texts, so it outlives `bytes`.
[[nodiscard]] Result<Statement, ErrorRecord> parse_statement(std::string_view bytes,
                                                             std::span<const SectionHook> hooks);

// parse_statement after decode_input: for a caller that wants to release the input bytes once
// they are no longer needed (decoded text that does not refers_to_input() does not need them).
// Deferred Windows-1251 is decoded in slices without hooks and all at once with them.
[[nodiscard]] Result<Statement, ErrorRecord> parse_decoded(const DecodedText& decoded,
                                                           std::span<const SectionHook> hooks);

}  // namespace corvina
