// Dates and amounts: whatever parses must format to a text that parses back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "amount.h"
#include "date.h"
#include "fuzz_input.h"
#include "quoted.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvina::fuzz::FuzzInput input(data, size);
  const std::string_view value = input.rest();

  if (auto date = corvina::parse_date(value)) {
    const auto text = corvina::format_date(date.value());
    // The canonical text is year-month-day; turn it back into day.month.year to re-read it.
    const std::string_view canonical = text.view();
    const size_t month_at = canonical.size() - 5;
    std::string written;
    written.append(canonical.substr(month_at + 3, 2)).append(".");
    written.append(canonical.substr(month_at, 2)).append(".");
    written.append(canonical.substr(0, month_at - 1));
    auto again = corvina::parse_date(written);
    if (!again || !(again.value() == date.value())) std::abort();
  }

  if (auto amount = corvina::parse_amount(value)) {
    const auto text = corvina::format_amount(amount.value());
    auto again = corvina::parse_amount(text.view());
    if (!again || !(again.value() == amount.value())) std::abort();
  } else if (amount.error().find("invalid value: string \"") != 0) {
    std::abort();
  }

  const std::string shown = corvina::quoted(value);
  if (shown.size() < 2 || shown.front() != '"' || shown.back() != '"') std::abort();
  return 0;
}
