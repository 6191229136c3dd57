// The whole core parse on arbitrary bytes, with and without hooks that rewrite or refuse sections.
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
  const uint8_t choice = input.take_byte();
  if (choice & 1) hooks.emplace_back(rewrite_section);
  // A hook that refuses one section, so that a parse is also abandoned half built.
  size_t sections_left = choice >> 2;
  if (choice & 2) {
    hooks.emplace_back([&sections_left](corvina::SectionType, corvina::AttributeMap&,
                                        const corvina::AttributeMap&)
                           -> corvina::Result<corvina::Done, std::string> {
      if (sections_left-- == 0) return corvina::fail(std::string("refused"));
      return corvina::Done{};
    });
  }
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
