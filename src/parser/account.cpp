#include "account.h"

#include <algorithm>
#include <utility>

#include "amount.h"
#include "date.h"
#include "document.h"

namespace corvina {

namespace {

// Reads an optional amount: absent when the key did not occur, but a present value is always
// parsed, so an empty one is the amount parser's failure rather than an absent amount.
Result<std::optional<Amount>, std::string> read_amount(const AttributeMap& section,
                                                       std::string_view key) {
  const std::string_view* value = section.find(key);
  if (value == nullptr) return std::optional<Amount>();
  auto amount = parse_amount(*value);
  if (!amount) return fail(std::move(amount).error());
  return std::optional<Amount>(amount.value());
}

}  // namespace

Result<Interval, std::string> build_interval(const AttributeMap& section) {
  // The keys are fixed, so visiting them in ascending byte order is a fixed sequence of
  // lookups; no sorting of the section is needed.
  Interval interval;

  auto income = read_amount(section, "ВсегоПоступило");
  if (!income) return fail(std::move(income).error());
  interval.total_income = income.value();

  auto expense = read_amount(section, "ВсегоСписано");
  if (!expense) return fail(std::move(expense).error());
  interval.total_expense = expense.value();

  if (const std::string_view* value = section.find("ДатаКонца")) {
    auto date = parse_optional_date(*value);
    if (!date) return fail(std::string(date.error()));
    interval.date_end = date.value();
  }

  const std::string_view* start_date = section.find("ДатаНачала");
  if (start_date != nullptr) {
    auto date = parse_date(*start_date);
    if (!date) return fail(std::string(date.error()));
    interval.date_start = date.value();
  }

  auto end_amount = read_amount(section, "КонечныйОстаток");
  if (!end_amount) return fail(std::move(end_amount).error());
  interval.end_amount = end_amount.value();

  const std::string_view* start_amount = section.find("НачальныйОстаток");
  if (start_amount != nullptr) {
    auto amount = parse_amount(*start_amount);
    if (!amount) return fail(std::move(amount).error());
    interval.start_amount = amount.value();
  }

  if (start_date == nullptr) return fail(missing_field_message("ДатаНачала"));
  if (start_amount == nullptr) return fail(missing_field_message("НачальныйОстаток"));
  return interval;
}

void merge_interval(AccountMap& accounts, std::string_view number, Interval interval) {
  Account* account = accounts.find(number);
  if (account == nullptr) {
    accounts.append(std::string(number)).intervals.push_back(interval);
    return;
  }
  std::vector<Interval>& intervals = account->intervals;
  // Equal intervals share their start date, and the list is sorted by it: only the run with
  // this start date can hold a duplicate. Scanning the whole list made an account of one
  // section a day quadratic in the number of days.
  const auto by_start = [](const Interval& a, const Interval& b) {
    return a.date_start < b.date_start;
  };
  const auto [run_begin, run_end] =
      std::equal_range(intervals.begin(), intervals.end(), interval, by_start);
  for (auto present = run_begin; present != run_end; ++present) {
    if (intervals_equal(*present, interval)) return;
  }
  // This exact search (not lower_bound or upper_bound) decides where an interval lands among
  // others with the same start date: just before the last of them. Results depend on it.
  size_t position = 0;
  if (!intervals.empty()) {
    size_t base = 0;
    size_t size = intervals.size();
    while (size > 1) {
      const size_t half = size / 2;
      const size_t mid = base + half;
      if (!(interval.date_start < intervals[mid].date_start)) base = mid;
      size -= half;
    }
    const Date& at_base = intervals[base].date_start;
    position = at_base < interval.date_start ? base + 1 : base;
  }
  intervals.insert(intervals.begin() + static_cast<std::ptrdiff_t>(position), interval);
}

}  // namespace corvina
