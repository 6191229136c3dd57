#include "account.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "amount.h"
#include "date.h"
#include "record_builder.h"
#include "record_schema.h"

namespace corvina {

namespace {

// Collects what decides equality by value, field by field: dates as they are, amounts
// normalised (100.00 as 100), and a presence byte before each optional field. Intervals that
// intervals_equal finds equal collect equal bytes, so their hashes agree.
class ValueBytes {
 public:
  void add(const Date& date) {
    put(static_cast<uint32_t>(date.year));
    put(date.month);
    put(date.day);
  }
  void add(const Amount& amount) {
    const Amount value = normalise_amount(amount);
    put(value.magnitude_low);
    put(value.magnitude_high);
    put(value.scale);
    put(uint8_t{value.negative});
  }
  template <typename T>
  void add(const std::optional<T>& value) {
    put(uint8_t{value.has_value()});
    if (value) add(*value);
  }
  std::string_view view() const { return {bytes_, size_}; }

 private:
  template <typename T>
  void put(T value) {
    std::memcpy(bytes_ + size_, &value, sizeof value);
    size_ += sizeof value;
  }

  // An optional amount, the longest field, takes 15 bytes.
  char bytes_[16 * kFieldCount<decltype(kIntervalFields)>];
  size_t size_ = 0;
};

}  // namespace

uint64_t hash_interval_value(const Interval& interval, const HashSeed& seed) {
  ValueBytes bytes;
  for_each_field(kIntervalFields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    static_assert(Row::kind != FieldKind::Text, "an interval has dates and amounts only");
    bytes.add(Row::of(interval));
  });
  return keyed_hash(bytes.view(), seed);
}

Result<Interval, std::string> build_interval(const AttributeMap& section) {
  // The map holds each key once, so adding its entries overwrites nothing.
  AccountFields fields;
  for (const AttributeMap::Entry& entry : section.entries()) fields.add(entry.key, entry.value);
  return fields.build();
}

Result<Interval, std::string> AccountFields::build() {
  if (form_ == LineForm::Cp1251) decode_converted_values<kIntervalFields>(raw_, decoded_);
  Interval interval;
  auto converted = convert_fields<kIntervalFields>(raw_, interval);
  if (!converted) return fail(std::move(converted).error());
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
      filing->by_value.emplace(hash_interval_value(filing->log[i], accounts.index_.seed()), i);
    }
  }
  const uint64_t hash = hash_interval_value(interval, accounts.index_.seed());
  const auto [first, last] = filing->by_value.equal_range(hash);
  for (auto candidate = first; candidate != last; ++candidate) {
    if (intervals_equal(filing->log[candidate->second], interval)) return;
  }
  filing->by_value.emplace(hash, filing->log.size());
  filing->log.push_back(interval);
  filing->settled = false;
}

void merge_accounts(AccountMap& into, AccountMap&& from) {
  for (size_t i = 0; i < from.accounts_.size(); ++i) {
    Account& account = from.accounts_[i];
    // The settled order of an account filed out of date order is not its filing order, and
    // filing the settled order again would settle differently; the log is the filing order.
    const AccountMap::Filing* filing = from.filings_[i].get();
    if (filing == nullptr && into.index_of(account.number) == AccountMap::kAbsent) {
      // Intervals in strictly rising start dates: filing them one by one into a new account
      // would append each, which is what moving the list does.
      into.append(std::move(account.number)).intervals = std::move(account.intervals);
      continue;
    }
    const std::vector<Interval>& filed = filing != nullptr ? filing->log : account.intervals;
    for (const Interval& interval : filed) merge_interval(into, account.number, interval);
  }
  from = AccountMap(from.index_.seed());
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
