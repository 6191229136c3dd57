// The section state machine's interface: the states a run passes through, the hooks it calls,
// and the runs over a token list or a whole text that end in a state.
//
// The machine itself is section_machine.h; parse_statement.h runs it over an input's bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "attribute_map.h"
#include "result.h"
#include "statement.h"
#include "tokenizer.h"

namespace corvina {

// Values are part of the interface (the module shows them as SectionType.Document/Account).
enum class SectionType : uint8_t { Document = 0, Account = 1 };

// How a hook call that did not succeed ended.
struct HookFailure {
  enum class Kind : uint8_t {
    Failed,     // the hook failed: the parse ends with HookError and this message
    Abandoned,  // the hook's host gave up the parse and keeps the reason (ends with Abandoned)
  };

  // A hook's failure with its message, so that `return fail("…")` reads naturally in a hook.
  HookFailure(std::string failure_message)  // NOLINT: implicit
      : kind(Kind::Failed), message(std::move(failure_message)) {}
  static HookFailure abandoned() {
    HookFailure failure{std::string()};
    failure.kind = Kind::Abandoned;
    return failure;
  }

  Kind kind;
  std::string message;  // for Failed
};

using HookOutcome = Result<Done, HookFailure>;

// Called when a section closes, before it is built: may read and rewrite the section's
// attributes, may only read the header.
using SectionHook =
    std::function<HookOutcome(SectionType type, AttributeMap& section, const AttributeMap& header)>;

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
  LineNumber lineno = 0;  // of the section's opening line
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

}  // namespace corvina
