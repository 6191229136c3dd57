#include "account.h"

#include <algorithm>
#include <utility>

#include "amount.h"
#include "date.h"
#include "document.h"

namespace corvina {

namespace {

uint64_t mix(uint64_t hash, uint64_t value) {
  return hash ^ (value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2));
}

uint64_t hash_date(const std::optional<Date>& date) {
  if (!date) return 1;
  return (static_cast<uint64_t>(static_cast<uint32_t>(date->year)) << 16) |
         (static_cast<uint64_t>(date->month) << 8) | date->day;
}

uint64_t hash_amount(const std::optional<Amount>& amount) {
  return amount ? hash_amount_value(*amount) : 1;
}

uint64_t hash_by_value(const Interval& interval) {
  uint64_t hash = hash_date(interval.date_start);
  hash = mix(hash, hash_date(interval.date_end));
  hash = mix(hash, hash_amount(interval.start_amount));
  hash = mix(hash, hash_amount(interval.end_amount));
  hash = mix(hash, hash_amount(interval.total_income));
  return mix(hash, hash_amount(interval.total_expense));
}

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
  size_t index = accounts.index_of(number);
  if (index == AccountMap::kAbsent) {
    index = accounts.accounts_.size();
    accounts.append(std::string(number));
  }
  AccountMap::Filing& filing = accounts.filings_[index];
  std::vector<Interval>& intervals = accounts.accounts_[index].intervals;
  if (!filing.out_of_order) {
    // Sections in date order, as banks write them: appending keeps the list sorted, and an
    // interval with a later start date cannot repeat an earlier one.
    if (intervals.empty() || intervals.back().date_start < interval.date_start) {
      intervals.push_back(interval);
      return;
    }
    // From now on the filing order is kept apart and the list is rebuilt from it when read.
    filing.out_of_order = true;
    filing.log = intervals;
    for (size_t i = 0; i < filing.log.size(); ++i) {
      filing.by_value.emplace(hash_by_value(filing.log[i]), i);
    }
  }
  const uint64_t hash = hash_by_value(interval);
  const auto [first, last] = filing.by_value.equal_range(hash);
  for (auto candidate = first; candidate != last; ++candidate) {
    if (intervals_equal(filing.log[candidate->second], interval)) return;
  }
  filing.by_value.emplace(hash, filing.log.size());
  filing.log.push_back(interval);
  filing.settled = false;
}

void AccountMap::settle() const {
  const auto by_start = [](const Interval& a, const Interval& b) {
    return a.date_start < b.date_start;
  };
  for (size_t i = 0; i < filings_.size(); ++i) {
    Filing& filing = filings_[i];
    if (filing.settled) continue;
    std::vector<Interval>& intervals = accounts_[i].intervals;
    intervals = filing.log;
    std::stable_sort(intervals.begin(), intervals.end(), by_start);
    // Filed one by one, each interval would be inserted where a binary search over the start
    // dates puts it: among intervals of its start date, just before the last of them. So the
    // first one filed ends up last and the others keep their filing order (A, B, C give
    // B, C, A); the sort has kept filing order, and each run only needs its first moved last.
    for (auto run = intervals.begin(); run != intervals.end();) {
      const auto run_end = std::find_if(run, intervals.end(), [&](const Interval& next) {
        return run->date_start < next.date_start;
      });
      std::rotate(run, run + 1, run_end);
      run = run_end;
    }
    filing.settled = true;
  }
}

}  // namespace corvina
