#include "parse_statement.h"

#include "chunked_parse.h"
#include "direction.h"
#include "section_machine.h"
#include "tokenizer.h"

namespace corvina {
namespace {

template <LineForm form = LineForm::Utf8, typename Source, typename HookStep>
Result<Statement, ErrorRecord> run_to_statement(Source& source, Encoding encoding,
                                                HookStep hook_step, StopCheck* stop = nullptr) {
  SectionMachine<HookStep, form> machine(encoding, hook_step);
  auto fed = feed_lines(source, machine, stop);
  if (!fed) return fail(std::move(fed).error());
  if (!machine.finished()) return fail(ErrorRecord{Unfinished{}});
  return std::move(machine).take_statement();
}

// Every way to a statement ends here, so each document's direction is set once, from the whole
// statement, whichever way it was read.
Result<Statement, ErrorRecord> with_directions(Result<Statement, ErrorRecord> parsed) {
  if (parsed) assign_directions(parsed.value());
  return parsed;
}

Result<Statement, ErrorRecord> read_cp1251_bytes(std::string_view bytes, StopCheck* stop) {
  Cp1251TokenReader source(bytes);
  return run_to_statement<LineForm::Cp1251>(source, Encoding::Cp1251, NoHooks{}, stop);
}

Result<Statement, ErrorRecord> read_decoded(const DecodedText& decoded,
                                            std::span<const SectionHook> hooks,
                                            const ParseOptions& options, StopCheck& stop) {
  if (hooks.empty()) {
    // Hooks see sections one after another, so only a parse without them is shared out.
    const LineForm form = decoded.deferred ? LineForm::Cp1251 : LineForm::Utf8;
    const std::string_view text = decoded.deferred ? decoded.borrowed : decoded.text();
    if (options.threads != 1 && text.size() >= options.chunk_threshold) {
      return parse_in_chunks(text, form, decoded.encoding, options.threads,
                             options.chunk_threshold, stop);
    }
  }
  if (decoded.deferred) {
    if (hooks.empty()) return read_cp1251_bytes(decoded.borrowed, &stop);
    // Hooks see whole sections and the header at once: they get the whole text.
    DecodedText whole = decoded;
    decode_deferred(whole);
    return read_decoded(whole, hooks, options, stop);
  }
  TokenReader source(decoded.text());
  if (hooks.empty()) return run_to_statement(source, decoded.encoding, NoHooks{}, &stop);
  // Hooks are seen to run, so every line is checked before the first of them.
  if (auto unrecognized = find_unrecognized_line(decoded.text())) return fail(*unrecognized);
  return run_to_statement(source, decoded.encoding, WithHooks{hooks});
}

}  // namespace

Result<Statement, ErrorRecord> parse_statement(std::string_view bytes,
                                               std::span<const SectionHook> hooks,
                                               const ParseOptions& options) {
  StopCheck stop(options.should_stop, options.stop_context);
  // Every byte is looked at to tell UTF-8 from Windows-1251: a statement that will be read on
  // several threads is looked at on them too.
  std::optional<bool> well_formed_utf8;
  if (hooks.empty()) {
    well_formed_utf8 =
        is_well_formed_utf8_shared(bytes, options.threads, options.chunk_threshold, stop);
    if (stop.stopped()) return fail(ErrorRecord{Abandoned{}});
  }
  auto decoded =
      decode_input(bytes, hooks.empty() ? Cp1251Decoding::Deferred : Cp1251Decoding::Whole,
                   well_formed_utf8);
  if (!decoded) return fail(std::move(decoded).error());
  return with_directions(read_decoded(decoded.value(), hooks, options, stop));
}

Result<Statement, ErrorRecord> parse_decoded(const DecodedText& decoded,
                                             std::span<const SectionHook> hooks,
                                             const ParseOptions& options) {
  StopCheck stop(options.should_stop, options.stop_context);
  return with_directions(read_decoded(decoded, hooks, options, stop));
}

Result<Statement, ErrorRecord> parse_cp1251_bytes(std::string_view bytes, StopCheck* stop) {
  return with_directions(read_cp1251_bytes(bytes, stop));
}

}  // namespace corvina
