#include "account.h"

#include <algorithm>
#include <utility>

#include "amount.h"
#include "date.h"
#include "record_builder.h"
#include "record_schema.h"

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

}  // namespace

Result<Interval, std::string> build_interval(const AttributeMap& section) {
  // The keys are fixed, so a lookup per field finds them all; no sorting of the section.
  RawFields<kIntervalFields> raw;
  size_t row = 0;
  for_each_field(kIntervalFields, [&](const auto& field) {
    if (const std::string_view* value = section.find(field.key)) raw[row] = *value;
    ++row;
  });
  Interval interval;
  auto converted = convert_fields<kIntervalFields>(raw, interval);
  if (!converted) return fail(std::move(converted).error());
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
