// The whole core parse on arbitrary bytes, with and without a hook that rewrites sections.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "parse_statement.h"

namespace {

// Rewrites a section the way real hooks do: renames a key, drops one, adds one.
corvina::Result<corvina::Done, std::string> rewrite_section(corvina::SectionType,
                                                           corvina::AttributeMap& section,
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
  if (input.take_byte() & 1) hooks.emplace_back(rewrite_section);
  auto result = corvina::parse_statement(input.rest(), hooks);
  if (result) {
    // Touch everything that was built, so a dangling view shows up under the sanitizers.
    size_t total = 0;
    for (const auto& document : result.value().documents) {
      total += document.doc_number.size() + document.purpose.size() + document.payee_bank1.size();
    }
    for (const auto& entry : result.value().header.entries()) total += entry.value.size();
    return total == SIZE_MAX ? 1 : 0;
  }
  return 0;
}
