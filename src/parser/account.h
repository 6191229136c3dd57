// Account sections: one dated interval each, filed under the account number.
#pragma once

#include <string>
#include <string_view>

#include "attribute_map.h"
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

// A hash under seed that agrees with intervals_equal: intervals equal by value hash alike.
uint64_t hash_interval_value(const Interval& interval, const HashSeed& seed);

// Files the interval under number: a new account at the end, nothing when an equal interval is
// already there, otherwise by date_start, among equal start dates just before the last of them
// (so sections A, B, C of one start date are listed B, C, A). Never fails. Amortised constant
// time: the order is settled when the accounts are read.
void merge_interval(AccountMap& accounts, std::string_view number, Interval interval);

}  // namespace corvina
