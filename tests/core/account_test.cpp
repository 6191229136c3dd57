#include "account.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "parse_statement.h"
#include "record_printer.h"

namespace corvina {
namespace {

using test_support::describe;

// Bytes live through operator new while counting is on (see the replacement at the end of this
// file; it serves the whole test binary, but only counts for the test that switches it on).
std::atomic<bool> counting{false};
std::atomic<long long> live_bytes{0};
std::atomic<long long> peak_bytes{0};  // the most live_bytes reached

using Attributes = std::vector<std::pair<std::string, std::string>>;

AttributeMap map_of(const Attributes& attributes) {
  AttributeMap map;
  for (const auto& [key, value] : attributes) map.insert(key, value);
  return map;
}

std::string build(const Attributes& attributes) {
  const AttributeMap map = map_of(attributes);
  auto interval = build_interval(map);
  return interval ? describe(interval.value()) : "error: " + interval.error();
}

const char kBadAmount[] =
    "error: invalid value: string \"x\", expected a Decimal type representing a fixed-point "
    "number";
const char kEmptyAmount[] =
    "error: invalid value: string \"\", expected a Decimal type representing a fixed-point "
    "number";

struct BuildCase {
  const char* name;
  Attributes attributes;
  std::string expected;
};

const BuildCase kBuildCases[] = {
    {"required only",
     {{"ДатаНачала", "01.02.2024"}, {"НачальныйОстаток", "100.50"}},
     "2024-02-01 - - - 100.50 -"},
    {"all six and others",
     {{"РасчСчет", "40702"},
      {"ДатаНачала", "01.02.2024"},
      {"ДатаКонца", "29.02.2024"},
      {"НачальныйОстаток", "1"},
      {"ВсегоПоступило", "2.5"},
      {"ВсегоСписано", "3"},
      {"КонечныйОстаток", "0.50"},
      {"Прочее", "x"},
      {"датаначала", "x"}},
     "2024-02-01 2024-02-29 2.5 3 1 0.50"},
    {"empty end date is absent",
     {{"ДатаКонца", " "}, {"ДатаНачала", "01.02.2024"}, {"НачальныйОстаток", "1"}},
     "2024-02-01 - - - 1 -"},
    {"empty end amount fails",
     {{"ДатаНачала", "01.02.2024"}, {"НачальныйОстаток", "1"}, {"КонечныйОстаток", ""}},
     kEmptyAmount},
    {"empty income fails",
     {{"ДатаНачала", "01.02.2024"}, {"НачальныйОстаток", "1"}, {"ВсегоПоступило", ""}},
     kEmptyAmount},
    {"empty start date", {{"ДатаНачала", ""}, {"НачальныйОстаток", "1"}},
     "error: empty string is not a valid date"},
    {"missing start date", {{"НачальныйОстаток", "1"}}, "error: missing field `ДатаНачала`"},
    {"missing both", {{"РасчСчет", "1"}}, "error: missing field `ДатаНачала`"},
    {"missing start amount", {{"ДатаНачала", "01.02.2024"}},
     "error: missing field `НачальныйОстаток`"},
    {"bad value wins over missing key", {{"ВсегоСписано", "x"}}, kBadAmount},
    // Key byte order, not file order, decides which bad value is reported.
    {"ВсегоПоступило before ВсегоСписано",
     {{"ВсегоСписано", "y"}, {"ВсегоПоступило", "x"}}, kBadAmount},
    {"ВсегоСписано before ДатаКонца", {{"ДатаКонца", "1.1"}, {"ВсегоСписано", "x"}},
     kBadAmount},
    {"ДатаКонца before ДатаНачала", {{"ДатаНачала", ""}, {"ДатаКонца", "32.01.2024"}},
     "error: input is out of range"},
    {"ДатаНачала before КонечныйОстаток",
     {{"КонечныйОстаток", "x"}, {"ДатаНачала", "01.01"}}, "error: premature end of input"},
    {"КонечныйОстаток before НачальныйОстаток",
     {{"НачальныйОстаток", "y"}, {"КонечныйОстаток", "x"}, {"ДатаНачала", "01.01.2024"}},
     kBadAmount},
};

TEST(account_test, build_interval) {
  for (const BuildCase& test : kBuildCases) {
    EXPECT_EQ(build(test.attributes), test.expected) << test.name;
  }
}

Interval interval(const char* start, const char* start_amount, const char* end_amount = nullptr) {
  Interval result;
  result.date_start = parse_date(start).value();
  result.start_amount = parse_amount(start_amount).value();
  if (end_amount != nullptr) result.end_amount = parse_amount(end_amount).value();
  return result;
}

struct Merge {
  const char* number;
  Interval interval;
};

struct MergeCase {
  const char* name;
  std::vector<Merge> merges;
  // Per account in map order: "number: start/amount start/amount ..."
  std::vector<std::string> expected;
};

std::string summary(const Account& account) {
  std::string out = account.number + ":";
  for (const Interval& i : account.intervals) {
    out += " " + std::string(format_date(i.date_start).view()) + "/" +
           std::string(format_amount(i.start_amount).view());
  }
  return out;
}

const MergeCase kMergeCases[] = {
    {"one", {{"X", interval("01.01.2024", "1")}}, {"X: 2024-01-01/1"}},
    {"identical dropped",
     {{"X", interval("01.01.2024", "1")}, {"X", interval("01.01.2024", "1")}},
     {"X: 2024-01-01/1"}},
    {"equal in value dropped",
     {{"X", interval("01.01.2024", "100", "5")}, {"X", interval("01.01.2024", "100.00", "5.0")}},
     {"X: 2024-01-01/100"}},
    {"absent differs from present",
     {{"X", interval("01.01.2024", "1")}, {"X", interval("01.01.2024", "1", "0")}},
     {"X: 2024-01-01/1 2024-01-01/1"}},
    {"out of order periods sorted",
     {{"X", interval("01.03.2024", "3")},
      {"X", interval("01.01.2024", "1")},
      {"X", interval("01.02.2024", "2")},
      {"X", interval("01.04.2024", "4")}},
     {"X: 2024-01-01/1 2024-02-01/2 2024-03-01/3 2024-04-01/4"}},
    {"equal starts: A, B, C stored as B, C, A",
     {{"X", interval("01.01.2024", "1")},
      {"X", interval("01.01.2024", "2")},
      {"X", interval("01.01.2024", "3")}},
     {"X: 2024-01-01/2 2024-01-01/3 2024-01-01/1"}},
    {"equal start among others",
     {{"X", interval("01.01.2024", "1")},
      {"X", interval("01.02.2024", "2")},
      {"X", interval("01.02.2024", "3")},
      {"X", interval("01.03.2024", "4")},
      {"X", interval("01.02.2024", "5")}},
     {"X: 2024-01-01/1 2024-02-01/3 2024-02-01/5 2024-02-01/2 2024-03-01/4"}},
    {"accounts X, Y, X",
     {{"X", interval("01.02.2024", "1")},
      {"Y", interval("01.01.2024", "2")},
      {"X", interval("01.01.2024", "3")}},
     {"X: 2024-01-01/3 2024-02-01/1", "Y: 2024-01-01/2"}},
    // Only the run of intervals with the same start is searched for a duplicate; it must be
    // found wherever it lies in that run, and at either end of the list.
    {"duplicate of the first of many",
     {{"X", interval("01.01.2024", "1")},
      {"X", interval("01.02.2024", "2")},
      {"X", interval("01.03.2024", "3")},
      {"X", interval("01.01.2024", "1.0")}},
     {"X: 2024-01-01/1 2024-02-01/2 2024-03-01/3"}},
    {"duplicate in the middle of a run of equal starts",
     {{"X", interval("01.02.2024", "1")},
      {"X", interval("01.02.2024", "2")},
      {"X", interval("01.02.2024", "3")},
      {"X", interval("01.03.2024", "4")},
      {"X", interval("01.02.2024", "3")},
      {"X", interval("01.02.2024", "1")},
      {"X", interval("01.01.2024", "5")}},
     {"X: 2024-01-01/5 2024-02-01/2 2024-02-01/3 2024-02-01/1 2024-03-01/4"}},
    {"same amount, other start is no duplicate",
     {{"X", interval("01.02.2024", "1")}, {"X", interval("01.01.2024", "1")}},
     {"X: 2024-01-01/1 2024-02-01/1"}},
    {"empty number is a number",
     {{"", interval("01.01.2024", "1")}, {"", interval("01.01.2024", "1")}},
     {": 2024-01-01/1"}},
};

TEST(account_test, merge_interval) {
  for (const MergeCase& test : kMergeCases) {
    AccountMap accounts;
    for (const Merge& merge : test.merges) merge_interval(accounts, merge.number, merge.interval);
    std::vector<std::string> got;
    for (const Account& account : accounts.accounts()) got.push_back(summary(account));
    EXPECT_EQ(got, test.expected) << test.name;
  }
}

// Many accounts: lookup by number must keep working as the account list grows and moves.
TEST(account_test, many_accounts) {
  AccountMap accounts;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 500; ++i) {
      merge_interval(accounts, std::to_string(i), interval(round ? "02.01.2024" : "01.01.2024",
                                                           "1"));
    }
  }
  ASSERT_EQ(accounts.size(), 500u);
  for (int i = 0; i < 500; ++i) {
    const Account* account = accounts.find(std::to_string(i));
    ASSERT_NE(account, nullptr) << i;
    EXPECT_EQ(account->number, std::to_string(i));
    EXPECT_EQ(account->intervals.size(), 2u) << i;
  }
  EXPECT_EQ(accounts.find("500"), nullptr);
}

// As for section keys (attribute_map_test): intervals that differ only in one amount, chosen to
// share the low bits of their hash under a key the input aimed at, spread under another key.
TEST(account_test, intervals_aimed_at_one_seed_spread_under_another) {
  constexpr HashSeed kAimed{5, 6};
  constexpr HashSeed kOther{7, 8};
  constexpr uint64_t kMask = 4095;
  Interval interval;
  interval.total_expense = Amount{};
  std::vector<uint64_t> other_slots;
  for (uint64_t magnitude = 1; other_slots.size() < 200; ++magnitude) {
    interval.total_expense->magnitude_low = magnitude;
    if ((hash_interval_value(interval, kAimed) & kMask) != 0) continue;
    other_slots.push_back(hash_interval_value(interval, kOther) & kMask);
  }
  std::sort(other_slots.begin(), other_slots.end());
  const auto distinct = std::unique(other_slots.begin(), other_slots.end()) - other_slots.begin();
  EXPECT_GT(distinct, 180);
}

// A statement may hold a million accounts of one section each, so an account may cost its record
// (with the slack of a growing vector), its number and its interval, and not much more: no copy
// of the number for the lookup, no empty filing.
TEST(account_test, an_account_of_one_section_costs_little_beyond_its_record) {
  constexpr long long kCount = 10000;
  std::vector<std::string> numbers;
  for (long long i = 0; i < kCount; ++i) {
    numbers.push_back("4070281000" + std::to_string(1000000000 + i));
  }
  const Interval one = interval("01.01.2024", "1");
  live_bytes = 0;
  counting = true;
  AccountMap accounts;
  for (const std::string& number : numbers) merge_interval(accounts, number, one);
  counting = false;
  ASSERT_EQ(accounts.size(), static_cast<size_t>(kCount));
  const long long budget = 2 * sizeof(Account) + 24 + sizeof(Interval) + 32;
  EXPECT_LT(live_bytes / kCount, budget) << live_bytes / kCount;
}

// Without hooks nobody sees an account section's other keys, so they are not kept while the
// section is open: a section of many unknown keys costs far less than its own text.
TEST(account_test, unknown_keys_of_an_account_section_are_not_held) {
  std::string text = "1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.01.2024\n";
  for (int i = 0; i < 20000; ++i) text += "Ключ" + std::to_string(i) + "=значение\n";
  text += "РасчСчет=40702\nНачальныйОстаток=1\nКонецРасчСчет\nКонецФайла\n";
  live_bytes = 0;
  peak_bytes = 0;
  counting = true;
  auto statement = parse_statement(text, {});
  counting = false;
  ASSERT_TRUE(statement.ok());
  EXPECT_LT(peak_bytes, static_cast<long long>(text.size() / 4)) << text.size();
}

// One section a day for a long period: merging must not rescan the whole account each time.
// Quadratic merging took minutes here; linear takes milliseconds.
TEST(account_test, long_account_merges_in_linear_time) {
  AccountMap accounts;
  Date day = parse_date("01.01.1900").value();
  for (int i = 0; i < 100000; ++i) {
    Interval next;
    next.date_start = day;
    next.start_amount = parse_amount(std::to_string(i)).value();
    merge_interval(accounts, "X", next);
    // Dates only need to rise; the day of the month is enough to step through.
    if (day.day < 28) {
      ++day.day;
    } else if (day.month < 12) {
      day.day = 1, ++day.month;
    } else {
      day.day = 1, day.month = 1, ++day.year;
    }
  }
  // The first one again, equal in value: dropped.
  Interval repeated;
  repeated.date_start = parse_date("01.01.1900").value();
  repeated.start_amount = parse_amount("0").value();
  merge_interval(accounts, "X", repeated);
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts.accounts()[0].intervals.size(), 100000u);
}

// Files each interval the slow, obvious way: drop it if an equal one is present, otherwise
// insert it where the binary search over start dates puts it. merge_interval must agree.
void reference_merge(std::vector<Interval>& intervals, const Interval& interval) {
  for (const Interval& present : intervals) {
    if (intervals_equal(present, interval)) return;
  }
  size_t position = 0;
  if (!intervals.empty()) {
    size_t base = 0;
    size_t size = intervals.size();
    while (size > 1) {
      const size_t half = size / 2;
      if (!(interval.date_start < intervals[base + half].date_start)) base += half;
      size -= half;
    }
    position = intervals[base].date_start < interval.date_start ? base + 1 : base;
  }
  intervals.insert(intervals.begin() + static_cast<std::ptrdiff_t>(position), interval);
}

TEST(account_test, merge_agrees_with_one_by_one_insertion) {
  // Few dates and few amounts, so runs of one start date and repeats (also 5 against 5.00)
  // are common; reading the accounts now and then checks that settling twice loses nothing.
  const char* const amounts[] = {"5", "5.00", "7.1", "7.10", "9", "-0.5"};
  std::mt19937 random(20241207);
  for (int round = 0; round < 200; ++round) {
    AccountMap accounts;
    std::vector<Interval> expected;
    const int count = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      Interval next;
      next.date_start = Date{2024, 3, static_cast<uint8_t>(1 + random() % 4)};
      next.start_amount = parse_amount(amounts[random() % 6]).value();
      if (random() % 2) next.end_amount = parse_amount(amounts[random() % 6]).value();
      reference_merge(expected, next);
      merge_interval(accounts, "X", next);
      if (random() % 8 == 0) {
        ASSERT_EQ(accounts.find("X")->intervals.size(), expected.size());
      }
    }
    const std::vector<Interval>& got = accounts.accounts()[0].intervals;
    ASSERT_EQ(got.size(), expected.size()) << "round " << round;
    for (size_t i = 0; i < got.size(); ++i) {
      // Representation too, not only value: the interval kept is the one filed first.
      EXPECT_EQ(describe(got[i]), describe(expected[i])) << "round " << round << ", place " << i;
    }
  }
}

// The accounts of every account map, each with its intervals as they read, for comparing maps.
std::vector<std::string> describe_accounts(AccountMap& accounts) {
  std::vector<std::string> out;
  for (const Account& account : accounts.accounts()) {
    out.push_back(account.number + ":");
    for (const Interval& interval : account.intervals) out.back() += " " + describe(interval);
  }
  return out;
}

// Filing into two maps and merging the second into the first settles as filing all into one,
// whether an account is new to the first (moved over whole, or refiled when out of date order)
// or already there; the second map is left empty.
TEST(account_test, merging_maps_agrees_with_one_map) {
  const char* const numbers[] = {"A", "B", "C", "D"};
  const char* const amounts[] = {"5", "5.00", "7.1", "9"};
  std::mt19937 random(20261209);
  for (int round = 0; round < 300; ++round) {
    AccountMap whole;
    AccountMap first;
    AccountMap second;
    const int count = 1 + static_cast<int>(random() % 30);
    const int cut = static_cast<int>(random() % static_cast<unsigned>(count + 1));
    for (int i = 0; i < count; ++i) {
      const char* number = numbers[random() % 4];
      Interval next;
      next.date_start = Date{2024, 3, static_cast<uint8_t>(1 + random() % 5)};
      next.start_amount = parse_amount(amounts[random() % 4]).value();
      merge_interval(whole, number, next);
      merge_interval(i < cut ? first : second, number, next);
    }
    merge_accounts(first, std::move(second));
    EXPECT_EQ(second.size(), 0u);
    ASSERT_EQ(describe_accounts(first), describe_accounts(whole)) << "round " << round;
  }
}

// Taking the accounts settles them first and leaves an empty map that files anew.
TEST(account_test, take_accounts) {
  AccountMap accounts;
  merge_interval(accounts, "A", interval("02.01.2024", "1"));
  merge_interval(accounts, "B", interval("01.01.2024", "2"));
  merge_interval(accounts, "A", interval("01.01.2024", "3"));
  const AccountList taken = accounts.take_accounts();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].number, "A");
  ASSERT_EQ(taken[0].intervals.size(), 2u);
  EXPECT_EQ(taken[0].intervals[0].date_start, (Date{2024, 1, 1}));
  EXPECT_EQ(accounts.size(), 0u);
  EXPECT_EQ(accounts.find("A"), nullptr);
  merge_interval(accounts, "A", interval("01.01.2024", "3"));
  EXPECT_EQ(describe_accounts(accounts).size(), 1u);
}

TEST(account_test, newest_first_account_merges_in_linear_time) {
  AccountMap accounts;
  Date day{2400, 12, 28};
  for (int i = 0; i < 200000; ++i) {
    Interval next;
    next.date_start = day;
    next.start_amount = parse_amount(std::to_string(i)).value();
    merge_interval(accounts, "X", next);
    if (day.day > 1) {
      --day.day;
    } else if (day.month > 1) {
      day.day = 28, --day.month;
    } else {
      day.day = 28, day.month = 12, --day.year;
    }
  }
  const std::vector<Interval>& intervals = accounts.accounts()[0].intervals;
  ASSERT_EQ(intervals.size(), 200000u);
  for (size_t i = 1; i < intervals.size(); ++i) {
    ASSERT_LT(intervals[i - 1].date_start, intervals[i].date_start) << "place " << i;
  }
  EXPECT_EQ(describe(intervals.back()).substr(0, 10), "2400-12-28");
}

}  // namespace
}  // namespace corvina

// Every non-aligned form is replaced, so that no block is freed by another allocator than the
// one that made it (a sanitizer's runtime would otherwise serve the forms left out). Each block
// carries its size in front, so that unsized deletes can subtract it.
namespace {

void* counted_new(size_t size) noexcept {
  constexpr size_t kFront = alignof(std::max_align_t);
  auto* block = static_cast<char*>(std::malloc(size + kFront));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<size_t*>(block) = size;
  if (corvina::counting) {
    const long long live = corvina::live_bytes += static_cast<long long>(size);
    if (live > corvina::peak_bytes) corvina::peak_bytes = live;
  }
  return block + kFront;
}

void counted_delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  char* block = static_cast<char*>(pointer) - alignof(std::max_align_t);
  if (corvina::counting) {
    corvina::live_bytes -= static_cast<long long>(*reinterpret_cast<size_t*>(block));
  }
  std::free(block);
}

}  // namespace

void* operator new(size_t size) {
  if (void* pointer = counted_new(size)) return pointer;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return counted_new(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return counted_new(size); }
void operator delete(void* pointer) noexcept { counted_delete(pointer); }
void operator delete[](void* pointer) noexcept { counted_delete(pointer); }
void operator delete(void* pointer, size_t) noexcept { counted_delete(pointer); }
void operator delete[](void* pointer, size_t) noexcept { counted_delete(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { counted_delete(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { counted_delete(pointer); }
