#include "account.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "amount.h"
#include "date.h"
#include "document.h"

namespace corvina {

namespace {

// Collects what decides equality by value: the dates, and each amount normalised, or a
// marker for an absent one. Equal intervals write equal bytes, so their hashes agree.
class ValueBytes {
 public:
  void add_date(const Date& date) {
    add(static_cast<uint32_t>(date.year));
    add(date.month);
    add(date.day);
  }
  void add_date(const std::optional<Date>& date) {
    add(uint8_t{date.has_value()});
    if (date) add_date(*date);
  }
  void add_amount(const Amount& amount) {
    const Amount value = normalise_amount(amount);
    add(value.magnitude_low);
    add(value.magnitude_high);
    add(value.scale);
    add(uint8_t{value.negative});
  }
  void add_amount(const std::optional<Amount>& amount) {
    add(uint8_t{amount.has_value()});
    if (amount) add_amount(*amount);
  }
  std::string_view view() const { return {bytes_, size_}; }

 private:
  template <typename T>
  void add(T value) {
    std::memcpy(bytes_ + size_, &value, sizeof value);
    size_ += sizeof value;
  }

  // Two dates and four amounts at most, each with its presence byte.
  char bytes_[2 * 7 + 4 * 15];
  size_t size_ = 0;
};

}  // namespace

uint64_t hash_interval_value(const Interval& interval, const HashSeed& seed) {
  ValueBytes bytes;
  bytes.add_date(interval.date_start);
  bytes.add_date(interval.date_end);
  bytes.add_amount(interval.start_amount);
  bytes.add_amount(interval.end_amount);
  bytes.add_amount(interval.total_income);
  bytes.add_amount(interval.total_expense);
  return keyed_hash(bytes.view(), seed);
}

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
  size_t index = accounts.index_of(number);
  if (index == AccountMap::kAbsent) {
    index = accounts.accounts_.size();
    accounts.append(std::string(number));
  }
  std::unique_ptr<AccountMap::Filing>& filing = accounts.filings_[index];
  std::vector<Interval>& intervals = accounts.accounts_[index].intervals;
  if (!filing) {
    // Sections in date order, as banks write them: appending keeps the list sorted, and an
    // interval with a later start date cannot repeat an earlier one.
    if (intervals.empty() || intervals.back().date_start < interval.date_start) {
      intervals.push_back(interval);
      return;
    }
    // From now on the filing order is kept apart and the list is rebuilt from it when read.
    filing = std::make_unique<AccountMap::Filing>();
    filing->log = intervals;
    for (size_t i = 0; i < filing->log.size(); ++i) {
      filing->by_value.emplace(hash_interval_value(filing->log[i], accounts.seed_), i);
    }
  }
  const uint64_t hash = hash_interval_value(interval, accounts.seed_);
  const auto [first, last] = filing->by_value.equal_range(hash);
  for (auto candidate = first; candidate != last; ++candidate) {
    if (intervals_equal(filing->log[candidate->second], interval)) return;
  }
  filing->by_value.emplace(hash, filing->log.size());
  filing->log.push_back(interval);
  filing->settled = false;
}

void AccountMap::settle() const {
  const auto by_start = [](const Interval& a, const Interval& b) {
    return a.date_start < b.date_start;
  };
  for (size_t i = 0; i < filings_.size(); ++i) {
    Filing* filing = filings_[i].get();
    if (filing == nullptr || filing->settled) continue;
    std::vector<Interval>& intervals = accounts_[i].intervals;
    intervals = filing->log;
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
    filing->settled = true;
  }
}

}  // namespace corvina
