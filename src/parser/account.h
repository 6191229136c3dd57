// Account sections: one dated interval each, filed under the account number.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attribute_map.h"
#include "line_form.h"
#include "record_builder.h"
#include "record_schema.h"
#include "keyed_hash.h"
#include "result.h"
#include "statement.h"

namespace corvina {

// Reads the six interval keys in ascending byte order of the keys (ВсегоПоступило,
// ВсегоСписано, ДатаКонца, ДатаНачала, КонечныйОстаток, НачальныйОстаток), so the first bad
// value in that order is the one reported with its parser's text; then "missing field
// `ДатаНачала`" or "missing field `НачальныйОстаток`". Other keys, РасчСчет included, are
// ignored here.
[[nodiscard]] Result<Interval, std::string> build_interval(const AttributeMap& section);

// The key of the account number in an account section.
inline constexpr std::string_view kAccountNumberKey = "РасчСчет";

// The values of one account section as its lines are read, for a run without hooks: the six
// interval keys and the account number keep their last value (as a map would), every other key
// is dropped at once, so a section of millions of unknown keys costs nothing to hold.
// build() == build_interval(map) and number() == map.find("РасчСчет") for a map of the same
// lines. Values are written in `form`; number() is as written.
class AccountFields {
 public:
  explicit AccountFields(LineForm form = LineForm::Utf8) : form_(form) {}

  template <LineForm key_form = LineForm::Utf8>
  void add(std::string_view key, std::string_view value) {
    static constexpr FixedText kNumberKey = written_as<key_form>(kAccountNumberKey);
    const size_t row = FieldIndex<kIntervalFields, key_form>::find(key);
    if (row != FieldIndex<kIntervalFields, key_form>::kNone) {
      raw_[row] = value;
    } else if (key == kNumberKey.view()) {
      raw_[kNumber] = value;
    }
  }
  void clear() {
    raw_.fill(std::nullopt);
    if (!decoded_.empty()) decoded_.clear();
  }
  [[nodiscard]] Result<Interval, std::string> build();
  const std::optional<std::string_view>& number() const { return raw_[kNumber]; }

 private:
  static constexpr size_t kNumber = kFieldCount<decltype(kIntervalFields)>;
  LineForm form_;
  std::array<std::optional<std::string_view>, kNumber + 1> raw_;  // the fields, then the number
  std::vector<std::string> decoded_;  // values with other than ASCII, decoded
};

// A hash under seed that agrees with intervals_equal: intervals equal by value hash alike.
uint64_t hash_interval_value(const Interval& interval, const HashSeed& seed);

// Files the interval under number: a new account at the end, nothing when an equal interval is
// already there, otherwise by date_start, among equal start dates just before the last of them
// (so sections A, B, C of one start date are listed B, C, A). Never fails. Amortised constant
// time: the order is settled when the accounts are read.
void merge_interval(AccountMap& accounts, std::string_view number, Interval interval);

// Files every interval of `from` into `into` as merge_interval would, account by account in the
// order `from` filed them, and leaves `from` empty. An account new to `into` is moved over whole
// when its sections came in date order, so its intervals are not copied.
void merge_accounts(AccountMap& into, AccountMap&& from);

}  // namespace corvina
