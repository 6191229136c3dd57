// One table per record: every field of Document and Interval listed once, with the format's key
// and the name it is shown under. Builders, equality, the module's getters, the converter and
// the columnar export all walk these tables, so a field added or renamed is one row here and
// one member in statement.h.
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "amount.h"
#include "date.h"
#include "line_form.h"
#include "statement.h"

namespace corvina {

// What a field holds once built; whether it may be absent is the other half of its type.
enum class FieldKind : uint8_t { Text, Date, Amount };

namespace schema_detail {

template <typename T>
struct Unwrap {
  using type = T;
  static constexpr bool optional = false;
};
template <typename T>
struct Unwrap<std::optional<T>> {
  using type = T;
  static constexpr bool optional = true;
};

// The value a member stands for: a document keeps its texts as spans of its block.
template <typename Member>
struct ValueOf {
  using type = Member;
};
template <>
struct ValueOf<TextSpan> {
  using type = std::string_view;
};
template <>
struct ValueOf<OptionalTextSpan> {
  using type = std::optional<std::string_view>;
};

template <typename T>
constexpr FieldKind kind_of() {
  if constexpr (std::is_same_v<T, std::string_view>) {
    return FieldKind::Text;
  } else if constexpr (std::is_same_v<T, Date>) {
    return FieldKind::Date;
  } else {
    static_assert(std::is_same_v<T, Amount>, "a field is a text, a date or an amount");
    return FieldKind::Amount;
  }
}

}  // namespace schema_detail

template <auto Member>
struct Field;

// One row. A field is required exactly when its member cannot be absent, so the type says it
// and no column of the row can contradict it.
template <typename Record, typename Member_type, Member_type Record::* Member>
struct Field<Member> {
  using record_type = Record;
  using member_type = Member_type;
  // std::string_view, Date or Amount, or std::optional of one of them.
  using value_type = typename schema_detail::ValueOf<Member_type>::type;
  // std::string_view, Date or Amount: the value without its optional wrapper.
  using item_type = typename schema_detail::Unwrap<value_type>::type;
  static constexpr bool required = !schema_detail::Unwrap<value_type>::optional;
  static constexpr FieldKind kind = schema_detail::kind_of<item_type>();

  std::string_view key;   // the format's key, compared byte for byte
  std::string_view name;  // the Python attribute and the table column
  // The field's place in the record as the format describes it (1-based): missing required
  // keys are reported in this order, which is not the order the attributes are shown in.
  uint8_t declared;

  // The field's value: a reference to the member, or for a text the view of its span.
  static decltype(auto) of(const Record& record) {
    if constexpr (std::is_same_v<Member_type, value_type>) {
      return (record.*Member);
    } else {
      return record.text(record.*Member);
    }
  }
  // The member itself, for the builders that fill it.
  static Member_type& member(Record& record) { return record.*Member; }
};

// In the order of the Python attributes and of the table's columns.
inline constexpr std::tuple kDocumentFields{
    Field<&Document::doc_number>{"Номер", "doc_number", 1},
    Field<&Document::doc_type>{"СекцияДокумент", "doc_type", 2},
    Field<&Document::doc_date>{"Дата", "doc_date", 4},
    Field<&Document::amount>{"Сумма", "amount", 7},
    Field<&Document::purpose>{"НазначениеПлатежа", "purpose", 5},
    Field<&Document::payment_type>{"ВидОплаты", "payment_type", 3},
    Field<&Document::ordering>{"Очередность", "ordering", 6},
    Field<&Document::counterparty_inn>{"ПлательщикИНН", "counterparty_inn", 8},
    Field<&Document::counterparty_kpp>{"ПлательщикКПП", "counterparty_kpp", 9},
    Field<&Document::counterparty_bic>{"ПлательщикБИК", "counterparty_bic", 10},
    Field<&Document::counterparty_bank1>{"ПлательщикБанк1", "counterparty_bank1", 11},
    Field<&Document::counterparty_account>{"ПлательщикСчет", "counterparty_account", 12},
    Field<&Document::counterparty>{"Плательщик", "counterparty", 13},
    Field<&Document::counterparty_1>{"Плательщик1", "counterparty_1", 14},
    Field<&Document::counterparty_ras_account>{"ПлательщикРасчСчет", "counterparty_ras_account",
                                               16},
    Field<&Document::counterparty_cor_account>{"ПлательщикКорсчет", "counterparty_cor_account",
                                               17},
    Field<&Document::outcome_date>{"ДатаСписано", "outcome_date", 15},
    Field<&Document::payee_inn>{"ПолучательИНН", "payee_inn", 18},
    Field<&Document::payee>{"Получатель", "payee", 19},
    Field<&Document::payee_account>{"ПолучательСчет", "payee_account", 20},
    Field<&Document::payee_kpp>{"ПолучательКПП", "payee_kpp", 21},
    Field<&Document::payee_bic>{"ПолучательБИК", "payee_bic", 22},
    Field<&Document::payee_bank1>{"ПолучательБанк1", "payee_bank1", 23},
    Field<&Document::payee_ras_account>{"ПолучательРасчСчет", "payee_ras_account", 24},
    Field<&Document::payee_cor_account>{"ПолучательКорсчет", "payee_cor_account", 25},
    Field<&Document::income_date>{"ДатаПоступило", "income_date", 26},
};

// The section's own kind, from its opening line, fills this field whatever the section's
// attributes say under the same key.
inline constexpr size_t kDocumentKindField = 1;

inline constexpr std::tuple kIntervalFields{
    Field<&Interval::date_start>{"ДатаНачала", "date_start", 1},
    Field<&Interval::date_end>{"ДатаКонца", "date_end", 2},
    Field<&Interval::start_amount>{"НачальныйОстаток", "start_amount", 5},
    Field<&Interval::end_amount>{"КонечныйОстаток", "end_amount", 6},
    Field<&Interval::total_income>{"ВсегоПоступило", "total_income", 3},
    Field<&Interval::total_expense>{"ВсегоСписано", "total_expense", 4},
};

template <typename Fields>
inline constexpr size_t kFieldCount = std::tuple_size_v<std::remove_cvref_t<Fields>>;

// Calls f(row) for each row, in table order, at compile time (every row has its own type).
template <typename Fields, typename F>
constexpr void for_each_field(const Fields& fields, F&& f) {
  std::apply([&f](const auto&... row) { (f(row), ...); }, fields);
}

// Calls f(std::integral_constant<size_t, I>{}) for each row index I in `order`, so that the
// row is std::get<I>(fields) with its own type.
template <auto order, typename F>
constexpr void for_each_index_in(F&& f) {
  [&f]<size_t... P>(std::index_sequence<P...>) {
    (f(std::integral_constant<size_t, order[P]>{}), ...);
  }(std::make_index_sequence<order.size()>{});
}

// Every row's key, by row index.
template <const auto& fields>
constexpr auto field_keys() {
  std::array<std::string_view, kFieldCount<decltype(fields)>> keys{};
  size_t i = 0;
  for_each_field(fields, [&](const auto& row) { keys[i++] = row.key; });
  return keys;
}

// Every row's name, by row index.
template <const auto& fields>
constexpr auto field_names() {
  std::array<std::string_view, kFieldCount<decltype(fields)>> names{};
  size_t i = 0;
  for_each_field(fields, [&](const auto& row) { names[i++] = row.name; });
  return names;
}

// A row's value (as Field::of gives it) without its optional wrapper: nullptr where absent.
template <typename T>
const T* present_item(const T& value) {
  return &value;
}
template <typename T>
const T* present_item(const std::optional<T>& value) {
  return value ? &*value : nullptr;
}

// The indexes of the rows whose value is converted (dates and amounts), in ascending byte order
// of their keys: the first bad value in that order is the one reported.
template <const auto& fields>
constexpr auto converted_in_key_order() {
  constexpr size_t count = [] {
    size_t n = 0;
    for_each_field(fields, [&](const auto& row) {
      n += std::remove_cvref_t<decltype(row)>::kind != FieldKind::Text;
    });
    return n;
  }();
  std::array<size_t, count> order{};
  size_t n = 0;
  size_t i = 0;
  for_each_field(fields, [&](const auto& row) {
    if (std::remove_cvref_t<decltype(row)>::kind != FieldKind::Text) order[n++] = i;
    ++i;
  });
  constexpr auto keys = field_keys<fields>();
  // Keys compare as unsigned bytes (char_traits<char>), which is the order of their UTF-8.
  for (size_t a = 1; a < count; ++a) {
    for (size_t b = a; b > 0 && keys[order[b]] < keys[order[b - 1]]; --b) {
      std::swap(order[b], order[b - 1]);
    }
  }
  return order;
}

// Every row index in the declared order of the fields.
template <const auto& fields>
constexpr auto declared_order() {
  std::array<size_t, kFieldCount<decltype(fields)>> order{};
  std::array<uint8_t, kFieldCount<decltype(fields)>> declared{};
  size_t i = 0;
  for_each_field(fields, [&](const auto& row) {
    declared[i] = row.declared;
    order[i] = i;
    ++i;
  });
  for (size_t a = 1; a < order.size(); ++a) {
    for (size_t b = a; b > 0 && declared[order[b]] < declared[order[b - 1]]; --b) {
      std::swap(order[b], order[b - 1]);
    }
  }
  return order;
}

template <const auto& fields>
constexpr size_t required_count() {
  size_t n = 0;
  for_each_field(fields, [&](const auto& row) {
    n += std::remove_cvref_t<decltype(row)>::required;
  });
  return n;
}

// The indexes of the required rows in their declared order.
template <const auto& fields>
constexpr auto required_in_declared_order() {
  std::array<bool, kFieldCount<decltype(fields)>> required{};
  size_t i = 0;
  for_each_field(fields, [&](const auto& row) {
    required[i++] = std::remove_cvref_t<decltype(row)>::required;
  });
  std::array<size_t, required_count<fields>()> order{};
  size_t n = 0;
  for (size_t index : declared_order<fields>()) {
    if (required[index]) order[n++] = index;
  }
  return order;
}

// Key -> row index. A key of 8 bytes or more is found by its length and its first and last
// 8-byte words, hashed into a table where no two keys of the record meet (the multiplier is
// searched for at compile time), so that every line costs one probe whatever the number of keys
// of its length; the rest of the one candidate is then compared. The last word alone would not
// do: ПлательщикБанк1 and ПолучательБанк1 end in the same eight bytes. Shorter keys (only
// Windows-1251 has them: Код, Дата, Сумма) are compared whole, as one number, against the few of
// their length. Keys are matched as the lines of `form` write them.
template <const auto& fields, LineForm form = LineForm::Utf8>
class FieldIndex {
 public:
  static constexpr size_t kNone = kFieldCount<decltype(fields)>;

  static size_t find(std::string_view key) {
    const size_t size = key.size();
    if (size > kMaxLength) return kNone;
    if (size < 8) return find_short(key);
    const uint64_t head = load_word(key.data());
    const uint64_t tail = load_word(key.data() + size - 8);
    const uint8_t row = kTable.rows[slot_of(head, tail, size, kTable.multiplier)];
    if (row == kEmpty || kSizes[row] != size || kTails[row] != tail) return kNone;
    const char* const expected = kKeys[row].bytes.data();
    size_t at = 0;
    while (at + 8 < size && load_word(expected + at) == load_word(key.data() + at)) at += 8;
    return at + 8 >= size ? row : kNone;
  }

 private:
  // Eight bytes as one word, in the machine's order. A key's last word may overlap the one
  // before, and a key of another length never reaches the loads.
  static uint64_t load_word(const char* at) {
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
  static constexpr uint64_t constant_word(std::string_view text) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
      const uint64_t byte = static_cast<unsigned char>(text[i]);
      value |= std::endian::native == std::endian::little ? byte << (8 * i)
                                                           : byte << (8 * (7 - i));
    }
    return value;
  }

  static constexpr auto kKeys = [] {
    std::array<FixedText, kFieldCount<decltype(fields)>> keys{};
    const auto utf8 = field_keys<fields>();
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = written_as<form>(utf8[i]);
    return keys;
  }();
  static constexpr size_t kMaxLength = [] {
    size_t longest = 0;
    for (const FixedText& key : kKeys) longest = key.size > longest ? key.size : longest;
    return longest;
  }();
  static_assert(kFieldCount<decltype(fields)> < 255, "rows are bytes, and 255 marks no key");
  static constexpr uint8_t kEmpty = 255;

  // Out of the line of find, which is inlined into the loop that reads the lines: only a few
  // keys of Windows-1251 come here.
  [[gnu::noinline]] static size_t find_short(std::string_view key) {
    const Candidates& candidates = kShort[key.size()];
    if (candidates.count == 0) return kNone;
    const uint64_t signature = short_signature(key.data(), key.size());
    for (uint8_t c = 0; c < candidates.count; ++c) {
      if (candidates.signatures[c] == signature) return candidates.rows[c];
    }
    return kNone;
  }

  // A key of 1-7 bytes as one number: its first four and last four bytes (which overlap) from
  // four bytes on, else its first, middle and last. Two texts of one length have the same
  // signature only when they are the same bytes, so no call compares them.
  static constexpr uint64_t short_signature(const char* bytes, size_t size) {
    const auto byte = [bytes](size_t at) {
      return uint64_t{static_cast<unsigned char>(bytes[at])};
    };
    if (size >= 4) {
      const auto four = [&byte](size_t at) {
        return byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24;
      };
      return four(0) << 32 | four(size - 4);
    }
    return byte(0) | byte(size / 2) << 8 | byte(size - 1) << 16;
  }
  // The keys shorter than one word, by length.
  struct Candidates {
    std::array<uint64_t, kFieldCount<decltype(fields)>> signatures{};
    std::array<uint8_t, kFieldCount<decltype(fields)>> rows{};
    uint8_t count = 0;
  };
  static constexpr auto kShort = [] {
    std::array<Candidates, 8> by_length{};
    for (size_t i = 0; i < kKeys.size(); ++i) {
      const size_t size = kKeys[i].size;
      if (size == 0 || size >= 8) continue;
      Candidates& candidates = by_length[size];
      candidates.signatures[candidates.count] = short_signature(kKeys[i].bytes.data(), size);
      candidates.rows[candidates.count++] = static_cast<uint8_t>(i);
    }
    return by_length;
  }();

  // Each row's length and first and last words, for the keys of a word or more.
  static constexpr auto kSizes = [] {
    std::array<size_t, kFieldCount<decltype(fields)>> sizes{};
    for (size_t i = 0; i < kKeys.size(); ++i) sizes[i] = kKeys[i].size;
    return sizes;
  }();
  static constexpr auto kHeads = [] {
    std::array<uint64_t, kFieldCount<decltype(fields)>> heads{};
    for (size_t i = 0; i < kKeys.size(); ++i) {
      if (kKeys[i].size >= 8) heads[i] = constant_word(kKeys[i].view());
    }
    return heads;
  }();
  static constexpr auto kTails = [] {
    std::array<uint64_t, kFieldCount<decltype(fields)>> tails{};
    for (size_t i = 0; i < kKeys.size(); ++i) {
      const std::string_view key = kKeys[i].view();
      if (key.size() >= 8) tails[i] = constant_word(key.substr(key.size() - 8));
    }
    return tails;
  }();

  // About 16 slots a key keeps a multiplier without meetings among the first few tried.
  static constexpr unsigned kSlotBits = std::bit_width(kFieldCount<decltype(fields)> * 16 - 1);
  static constexpr size_t slot_of(uint64_t head, uint64_t tail, size_t size,
                                  uint64_t multiplier) {
    const uint64_t mixed = (head * 0x9E3779B97F4A7C15u) ^ tail ^ size;
    return static_cast<size_t>((mixed * multiplier) >> (64 - kSlotBits));
  }
  struct Table {
    uint64_t multiplier = 0;
    std::array<uint8_t, size_t{1} << kSlotBits> rows{};
  };
  static constexpr Table kTable = [] {
    Table table;
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (unsigned attempt = 0; attempt < 64; ++attempt) {
      // splitmix64: well-spread odd multipliers, the same on every compiler.
      state += 0x9E3779B97F4A7C15u;
      uint64_t mixed = state;
      mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
      mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
      table.multiplier = (mixed ^ (mixed >> 31)) | 1;
      table.rows.fill(kEmpty);
      bool met = false;
      for (size_t i = 0; i < kKeys.size() && !met; ++i) {
        if (kSizes[i] < 8) continue;
        uint8_t& row = table.rows[slot_of(kHeads[i], kTails[i], kSizes[i], table.multiplier)];
        met = row != kEmpty;
        row = static_cast<uint8_t>(i);
      }
      if (!met) return table;
    }
    throw "no multiplier keeps the keys apart";
  }();
};

// Equal field by field, texts and dates exactly, amounts by value when amounts_by_value (100
// equals 100.00) and member by member otherwise (the scale counts); absent equals only absent.
template <const auto& fields, typename Record>
bool records_equal(const Record& a, const Record& b, bool amounts_by_value) {
  bool equal = true;
  for_each_field(fields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    if (!equal) return;
    const auto& x = Row::of(a);
    const auto& y = Row::of(b);
    if constexpr (Row::kind == FieldKind::Amount) {
      if (amounts_by_value) {
        if constexpr (Row::required) {
          equal = amounts_equal_in_value(x, y);
        } else {
          equal = x.has_value() == y.has_value() &&
                  (!x.has_value() || amounts_equal_in_value(*x, *y));
        }
        return;
      }
    }
    equal = x == y;
  });
  return equal;
}

}  // namespace corvina
