// Building a record from the raw texts of its fields, one per row of its schema table: the
// conversions and checks that documents and intervals share.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "amount.h"
#include "date.h"
#include "decode.h"
#include "record_schema.h"
#include "result.h"

namespace corvina {

// The value of each row as written, by row index; absent when its key did not occur.
template <const auto& fields>
using RawFields = std::array<std::optional<std::string_view>, kFieldCount<decltype(fields)>>;

// "missing field `{key}`", the builders' text for a required key that did not occur.
std::string missing_field_message(std::string_view key);

// Whether text holds a byte at or above 0x80. Values are short (codes, numbers, names), so
// this reads words without an early exit, the last one overlapping the one before.
inline bool has_byte_above_ascii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const char* const data = text.data();
  const size_t size = text.size();
  uint64_t seen = 0;
  if (size >= 8) {
    uint64_t word;
    for (size_t pos = 0; pos + 8 <= size; pos += 8) {
      std::memcpy(&word, data + pos, 8);
      seen |= word;
    }
    std::memcpy(&word, data + size - 8, 8);
    seen |= word;
  } else {
    for (size_t pos = 0; pos < size; ++pos) seen |= static_cast<unsigned char>(data[pos]);
  }
  return (seen & kHighBits) != 0;
}

namespace builder_detail {

// Parses one date or amount into its member. A blank optional date is absent; a present amount
// is always parsed, so an empty one fails rather than being absent.
template <typename Row, typename Record>
Result<Done, std::string> convert_value(std::string_view text, Record& record) {
  if constexpr (Row::kind == FieldKind::Date) {
    if constexpr (Row::required) {
      auto date = parse_date(text);
      if (!date) return fail(std::string(date.error()));
      Row::member(record) = date.value();
    } else {
      auto date = parse_optional_date(text);
      if (!date) return fail(std::string(date.error()));
      Row::member(record) = date.value();
    }
  } else {
    static_assert(Row::kind == FieldKind::Amount);
    auto amount = parse_amount(text);
    if (!amount) return fail(std::move(amount).error());
    Row::member(record) = amount.value();
  }
  return Done{};
}

}  // namespace builder_detail

// For values written in Windows-1251: each value of a date or amount row that holds a byte
// above ASCII is decoded into `decoded` and viewed there, so the converters read (and their
// messages quote) UTF-8 as for any other input. Digits and signs are ASCII, so the values of a
// good statement are left as they are.
template <const auto& fields, typename Raw>
void decode_converted_values(Raw& raw, std::vector<std::string>& decoded) {
  static constexpr auto kConverted = converted_in_key_order<fields>();
  for (size_t index : kConverted) {
    if (!raw[index] || !has_byte_above_ascii(*raw[index])) continue;
    // Reserved first, so that no string moves (a short one would take its text along) while
    // a view of it is held.
    if (decoded.empty()) decoded.reserve(kConverted.size());
    decoded.push_back(decode_cp1251(*raw[index]));
    raw[index] = decoded.back();
  }
}

// Converts every present date and amount in ascending byte order of the keys, then checks the
// required keys in declared order: the first failure of that sequence is the result. Texts are
// left to the caller, which decides where they are kept. Inlined into each builder, which runs
// once per section, so the unrolled rows cost no call.
template <const auto& fields, typename Raw, typename Record>
[[gnu::always_inline]] inline Result<Done, std::string> convert_fields(const Raw& raw,
                                                                      Record& record) {
  static constexpr auto kConverted = converted_in_key_order<fields>();
  static constexpr auto kRequired = required_in_declared_order<fields>();
  static constexpr auto kKeys = field_keys<fields>();
  Result<Done, std::string> outcome = Done{};
  for_each_index_in<kConverted>([&](auto index) {
    using Row = std::remove_cvref_t<decltype(std::get<index>(fields))>;
    if (!outcome || !raw[index]) return;
    outcome = builder_detail::convert_value<Row>(*raw[index], record);
  });
  if (!outcome) return outcome;
  for (size_t index : kRequired) {
    if (!raw[index]) return fail(missing_field_message(kKeys[index]));
  }
  return Done{};
}

}  // namespace corvina
