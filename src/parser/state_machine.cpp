#include "state_machine.h"

#include <utility>

#include "section_machine.h"

namespace corvina {
namespace {

// Runs ending in a state keep every section in a map, as the states do, hooks or not.
template <typename Source>
Result<ParserState, ErrorRecord> run_to_state(Source& source, Encoding encoding,
                                              std::span<const SectionHook> hooks) {
  SectionMachine<WithHooks> machine(encoding, WithHooks{hooks});
  auto fed = feed_lines(source, machine);
  if (!fed) return fail(std::move(fed).error());
  return std::move(machine).into_state();
}

}  // namespace

ParseContext context_of(const ParserState& state) {
  switch (state.index()) {
    case 0:
      return ParseContext::Init;
    case 1:
      return ParseContext::Header;
    case 2:
      return ParseContext::Document;
    case 3:
      return ParseContext::Account;
    case 4:
      return ParseContext::ReadNextSection;
    default:
      return ParseContext::Finished;
  }
}

Result<Done, ErrorRecord> step(ParserState& state, const Token& token,
                               const MachineInput& input) {
  auto machine = SectionMachine<WithHooks>::resume(std::move(state), input.encoding,
                                                   WithHooks{input.hooks});
  auto applied = machine.apply(token);
  state = std::move(machine).into_state();
  return applied;
}

Result<ParserState, ErrorRecord> parse_tokens(std::span<const Token> tokens, Encoding encoding,
                                              std::span<const SectionHook> hooks) {
  TokenListSource source(tokens);
  return run_to_state(source, encoding, hooks);
}

Result<ParserState, ErrorRecord> parse_text(std::string_view text, Encoding encoding,
                                            std::span<const SectionHook> hooks) {
  if (!hooks.empty()) {
    // Hooks are seen to run, so every line is checked before the first of them.
    if (auto unrecognized = find_unrecognized_line(text)) return fail(*unrecognized);
  }
  TokenReader source(text);
  return run_to_state(source, encoding, hooks);
}

}  // namespace corvina
