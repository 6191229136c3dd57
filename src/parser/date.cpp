#include "date.h"

#include "whitespace.h"

namespace corvina {
namespace {

constexpr std::string_view kEmpty = "empty string is not a valid date";
constexpr std::string_view kInvalid = "input contains invalid characters";
constexpr std::string_view kPremature = "premature end of input";
constexpr std::string_view kTrailing = "trailing input";
constexpr std::string_view kOutOfRange = "input is out of range";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_leap_year(int32_t year) {
  // Also right for negative years of the proleptic calendar: -4 and 0 are leap years.
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

uint8_t days_in_month(int32_t year, uint8_t month) {
  static constexpr uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Walks the value once. Every failure is decided where reading stops, so the message says what
// was wrong at that point rather than what a later check would have found.
class DateReader {
 public:
  explicit DateReader(std::string_view text) : text_(text) {}

  Result<Date, std::string_view> read() {
    Date date;
    auto day = read_day_or_month(31);
    if (!day) return fail(day.error());
    date.day = day.value();
    if (auto dot = read_dot(); !dot) return fail(dot.error());
    auto month = read_day_or_month(12);
    if (!month) return fail(month.error());
    date.month = month.value();
    if (auto dot = read_dot(); !dot) return fail(dot.error());
    auto year = read_year();
    if (!year) return fail(year.error());
    date.year = year.value();
    if (pos_ != text_.size()) return fail(kTrailing);
    if (date.year < kMinYear || date.year > kMaxYear ||
        date.day > days_in_month(date.year, date.month)) {
      return fail(kOutOfRange);
    }
    return date;
  }

 private:
  void skip_white_space() { pos_ += white_space_prefix(text_.substr(pos_)); }

  // Where a digit must stand: the failure for what stands there instead.
  std::string_view missing_digit() const { return pos_ == text_.size() ? kPremature : kInvalid; }

  bool at_digit() const { return pos_ < text_.size() && is_digit(text_[pos_]); }

  Result<uint8_t, std::string_view> read_day_or_month(uint8_t max) {
    skip_white_space();
    if (!at_digit()) return fail(missing_digit());
    uint8_t number = static_cast<uint8_t>(text_[pos_++] - '0');
    if (at_digit()) number = static_cast<uint8_t>(number * 10 + (text_[pos_++] - '0'));
    if (number < 1 || number > max) return fail(kOutOfRange);
    return number;
  }

  Result<Done, std::string_view> read_dot() {
    if (pos_ == text_.size()) return fail(kPremature);
    if (text_[pos_] != '.') return fail(kInvalid);
    ++pos_;
    return Done{};
  }

  Result<int32_t, std::string_view> read_year() {
    skip_white_space();
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
      const bool negative = text_[pos_++] == '-';
      if (!at_digit()) return fail(missing_digit());
      // Any number of digits may follow a sign; the value saturates just past the int32 range
      // so that a long run of digits cannot overflow while it is still being read.
      constexpr int64_t kLimit = int64_t{INT32_MAX} + 2;
      int64_t magnitude = 0;
      while (at_digit()) {
        magnitude = magnitude * 10 + (text_[pos_++] - '0');
        if (magnitude > kLimit) magnitude = kLimit;
      }
      const int64_t year = negative ? -magnitude : magnitude;
      if (year < INT32_MIN || year > INT32_MAX) return fail(kOutOfRange);
      return static_cast<int32_t>(year);
    }
    if (!at_digit()) return fail(missing_digit());
    int32_t year = 0;
    for (int count = 0; count < 4 && at_digit(); ++count) year = year * 10 + (text_[pos_++] - '0');
    return year;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

Result<Date, std::string_view> parse_date(std::string_view value) {
  if (is_blank(value)) return fail(kEmpty);
  return DateReader(value).read();
}

Result<std::optional<Date>, std::string_view> parse_optional_date(std::string_view value) {
  if (is_blank(value)) return std::optional<Date>();
  auto date = DateReader(value).read();
  if (!date) return fail(date.error());
  return std::optional<Date>(date.value());
}

DateText format_date(Date date) {
  DateText text{};
  char* out = text.data;
  // Widened first: negating INT32_MIN would overflow.
  int64_t year = date.year;
  if (year < 0 || year > 9999) *out++ = year < 0 ? '-' : '+';
  uint64_t magnitude = static_cast<uint64_t>(year < 0 ? -year : year);
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count < 4) digits[count++] = '0';
  while (count > 0) *out++ = digits[--count];
  const auto two_digits = [&out](uint8_t n) {
    *out++ = static_cast<char>('0' + n / 10 % 10);
    *out++ = static_cast<char>('0' + n % 10);
  };
  *out++ = '-';
  two_digits(date.month);
  *out++ = '-';
  two_digits(date.day);
  text.size = static_cast<uint8_t>(out - text.data);
  return text;
}

}  // namespace corvina
