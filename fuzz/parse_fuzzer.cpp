// The whole core parse on arbitrary bytes, with and without hooks that rewrite or refuse sections.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
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

void append_text(std::string& out, std::string_view text) {
  out += std::to_string(text.size());
  out += ':';
  out += text;
}

void append_optional(std::string& out, const std::optional<std::string_view>& text) {
  if (text) {
    append_text(out, *text);
  } else {
    out += '-';
  }
}

template <typename Value>
void append_value(std::string& out, const std::optional<Value>& value) {
  if (!value) {
    out += '-';
  } else if constexpr (std::is_same_v<Value, corvina::Date>) {
    out += corvina::format_date(*value).view();
  } else {
    out += corvina::format_amount(*value).view();
  }
  out += ';';
}

// Everything a parse produced, as one text: two parses agree when their texts do.
std::string describe(const corvina::Result<corvina::Statement, corvina::ErrorRecord>& result) {
  std::string out;
  if (!result) {
    out = "error " + std::to_string(result.error().index());
    std::visit(
        [&out](const auto& record) {
          if constexpr (requires { record.lineno; }) out += " line " + std::to_string(record.lineno);
        },
        result.error());
    return out;
  }
  const corvina::Statement& statement = result.value();
  out += statement.encoding == corvina::Encoding::Utf8 ? "utf-8\n" : "cp1251\n";
  for (const auto& entry : statement.header.entries()) {
    append_text(out, entry.key);
    append_text(out, entry.value);
  }
  for (const corvina::Account& account : statement.accounts.accounts()) {
    append_text(out, account.number);
    for (const corvina::Interval& interval : account.intervals) {
      append_value(out, std::optional(interval.date_start));
      append_value(out, interval.date_end);
      append_value(out, interval.total_income);
      append_value(out, interval.total_expense);
      append_value(out, std::optional(interval.start_amount));
      append_value(out, interval.end_amount);
    }
  }
  for (const corvina::Document& d : statement.documents) {
    for (std::string_view text : {d.doc_number, d.doc_type, d.purpose, d.counterparty_inn,
                                  d.counterparty_bic, d.counterparty_bank1,
                                  d.counterparty_account, d.payee_inn, d.payee_account,
                                  d.payee_bic, d.payee_bank1}) {
      append_text(out, text);
    }
    for (const auto& text : {d.payment_type, d.ordering, d.counterparty_kpp, d.counterparty,
                             d.counterparty_1, d.counterparty_ras_account,
                             d.counterparty_cor_account, d.payee, d.payee_kpp,
                             d.payee_ras_account, d.payee_cor_account}) {
      append_optional(out, text);
    }
    append_value(out, std::optional(d.doc_date));
    append_value(out, std::optional(d.amount));
    append_value(out, d.outcome_date);
    append_value(out, d.income_date);
  }
  for (const corvina::WarningEntry& warning : statement.warnings) {
    out += std::to_string(warning.lineno);
    append_text(out, warning.message);
  }
  return out;
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
  if (hooks.empty()) {
    // A run without hooks takes a shorter road through the section machine than a run with
    // them; a hook that changes nothing must not change the outcome.
    const corvina::SectionHook keep = [](corvina::SectionType, corvina::AttributeMap&,
                                         const corvina::AttributeMap&)
        -> corvina::Result<corvina::Done, std::string> { return corvina::Done{}; };
    const auto hooked = corvina::parse_statement(input.rest(), std::span(&keep, 1));
    if (describe(result) != describe(hooked)) std::abort();
    // Windows-1251 without hooks is read a slice at a time, with hooks all at once; slices far
    // smaller than the default cut through sections and lines of any short input.
    const auto decoded = corvina::decode_input(input.rest(), corvina::Cp1251Decoding::Deferred);
    if (decoded && decoded.value().deferred) {
      const size_t slice = 1 + (choice >> 2);
      const auto sliced = corvina::parse_cp1251_in_slices(decoded.value().borrowed, slice);
      if (describe(sliced) != describe(hooked)) std::abort();
    }
  }
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
