// The whole core parse on arbitrary bytes, with and without hooks that rewrite or refuse sections,
// and without hooks also read in pieces on several threads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "fuzz_input.h"
#include "parse_statement.h"
#include "record_printer.h"

namespace {

using corvina::test_support::describe;

// Rewrites a section the way real hooks do: renames a key, drops one, adds one.
corvina::HookOutcome rewrite_section(corvina::SectionType, corvina::AttributeMap& section,
                                     const corvina::AttributeMap& header) {
  corvina::AttributeMap rewritten;
  for (const auto& entry : section.entries()) {
    if (entry.key == "Сумма") continue;
    rewritten.insert_copy(entry.key, entry.value);
  }
  rewritten.insert_copy("Сумма", header.empty() ? "1.00" : header.entries().front().value);
  section = std::move(rewritten);
  return corvina::Done{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvina::fuzz::FuzzInput input(data, size);
  std::vector<corvina::SectionHook> hooks;
  const uint8_t choice = input.take_byte();
  if (choice & 1) hooks.emplace_back(rewrite_section);
  // A hook that refuses one section, so that a parse is also abandoned half built.
  size_t sections_left = choice >> 2;
  if (choice & 2) {
    hooks.emplace_back([&sections_left](corvina::SectionType, corvina::AttributeMap&,
                                        const corvina::AttributeMap&)
                           -> corvina::HookOutcome {
      if (sections_left-- == 0) return corvina::fail(std::string("refused"));
      return corvina::Done{};
    });
  }
  constexpr corvina::ParseOptions kOneThread{1, 0};
  auto result = corvina::parse_statement(input.rest(), hooks, kOneThread);
  if (hooks.empty()) {
    // Pieces as small as the cuts allow, on as many threads as the free bits of the first byte
    // ask: the joined outcome is the one-thread outcome, record for record, error for error.
    const corvina::ParseOptions pieces{2u + (choice >> 2) % 15u, 1};
    if (describe(result) != describe(corvina::parse_statement(input.rest(), {}, pieces))) {
      std::abort();
    }
    // A run without hooks takes a shorter road through the section machine than a run with
    // them (and reads Windows-1251 in its own bytes instead of decoding it whole); a hook that
    // changes nothing must not change the outcome.
    const corvina::SectionHook keep = [](corvina::SectionType, corvina::AttributeMap&,
                                         const corvina::AttributeMap&)
        -> corvina::HookOutcome { return corvina::Done{}; };
    const auto hooked = corvina::parse_statement(input.rest(), std::span(&keep, 1), kOneThread);
    if (describe(result) != describe(hooked)) std::abort();
  }
  if (result) {
    // Touch everything that was built, so a dangling view shows up under the sanitizers.
    size_t total = 0;
    for (const auto& document : result.value().documents) {
      total += document.text(document.doc_number).size() + document.text(document.purpose).size() +
               document.text(document.payee_bank1).size();
    }
    for (const auto& entry : result.value().header.entries()) total += entry.value.size();
    return total == SIZE_MAX ? 1 : 0;
  }
  return 0;
}
