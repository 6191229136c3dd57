// The section state machine: from classified lines to one Statement, or the first error.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "attribute_map.h"
#include "result.h"
#include "statement.h"
#include "tokenizer.h"

namespace corvina {

// Values are part of the interface (the module shows them as SectionType.Document/Account).
enum class SectionType : uint8_t { Document = 0, Account = 1 };

// Called when a section closes, before it is built: may read and rewrite the section's
// attributes, may only read the header. A failure message ends the parse with HookError.
using SectionHook = std::function<Result<Done, std::string>(
    SectionType type, AttributeMap& section, const AttributeMap& header)>;

// One alternative per state, in the interface's order: init, header, document, account,
// read_next_section, finished. The statement being built moves from state to state.
struct InitState {};
struct HeaderState {
  AttributeMap header;
};
struct DocumentState {
  Statement statement;
  std::string_view kind;  // view into the decoded text, from the section's opening line
  AttributeMap section;
};
struct AccountState {
  Statement statement;
  AttributeMap section;
};
struct ReadNextSectionState {
  Statement statement;
};
struct FinishedState {
  Statement statement;
};
using ParserState = std::variant<InitState, HeaderState, DocumentState, AccountState,
                                 ReadNextSectionState, FinishedState>;

ParseContext context_of(const ParserState& state);

// Everything a run needs besides the state and the token.
struct MachineInput {
  Encoding encoding;
  std::span<const SectionHook> hooks;  // borrowed for the whole run; may be empty
};

// Applies one token. On success the state has become the next state (changed in place, so a
// statement is never copied); on failure the state is unspecified and must be discarded.
[[nodiscard]] Result<Done, ErrorRecord> step(ParserState& state, const Token& token,
                                             const MachineInput& input);

// Folds step over the tokens from InitState and stops at the first error. A final state other
// than FinishedState means the input ended early (the caller reports Unfinished).
[[nodiscard]] Result<ParserState, ErrorRecord> parse_tokens(std::span<const Token> tokens,
                                                            Encoding encoding,
                                                            std::span<const SectionHook> hooks);

// read_tokens then parse_tokens, with the same result, but without a token list: the lines are
// read as they are applied. An unrecognised line still wins over every other error and stops
// the parse before any hook has run: with hooks, every line is checked in a first pass; without,
// an error of the machine is held until the rest of the lines has been checked.
[[nodiscard]] Result<ParserState, ErrorRecord> parse_text(std::string_view text,
                                                          Encoding encoding,
                                                          std::span<const SectionHook> hooks);

// Input bytes of a Windows-1251 statement decoded this many at a time (a little more, to end at
// a line break) by parse_cp1251_in_slices: the slice is read while it is still in cache.
inline constexpr size_t kCp1251SliceBytes = size_t{256} << 10;

// The whole parse of Windows-1251 bytes without hooks, with the outcome of parse_text over their
// decoded text (Unfinished when the run ends before "КонецФайла"), but with the text decoded a
// slice at a time into one reused buffer instead of all at once. A section (or the header) that
// a slice leaves open is read again at the front of the next one, so no view outlives its
// slice. slice_bytes is a parameter only so that tests can make sections straddle slices.
[[nodiscard]] Result<Statement, ErrorRecord> parse_cp1251_in_slices(
    std::string_view bytes, size_t slice_bytes = kCp1251SliceBytes);

}  // namespace corvina
