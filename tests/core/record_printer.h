// The one printer of core records for tests and fuzz targets: two runs agree when their texts
// do, and a failing comparison shows what differs. Records are printed through their field
// tables, so a field added to a record is printed without a change here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "amount.h"
#include "date.h"
#include "direction.h"
#include "document_extra.h"
#include "record_schema.h"
#include "result.h"
#include "statement.h"

namespace corvina::test_support {

// A date or an amount in canonical form, a text as it is.
inline std::string item_text(std::string_view text) { return std::string(text); }
inline std::string item_text(const Date& date) { return std::string(format_date(date).view()); }
inline std::string item_text(const Amount& amount) {
  return std::string(format_amount(amount).view());
}

// Every field in the record's declared order, `separator` after each: required texts as they
// are, optional texts quoted, dates and amounts canonical, absent fields "-".
template <const auto& fields, typename Record>
std::string describe_fields(const Record& record, std::string_view separator) {
  std::string out;
  for_each_index_in<declared_order<fields>()>([&](auto index) {
    using Row = std::remove_cvref_t<decltype(std::get<index>(fields))>;
    const auto& value = Row::of(record);
    if constexpr (Row::required) {
      out += item_text(value);
    } else if (!value) {
      out += "-";
    } else if constexpr (Row::kind == FieldKind::Text) {
      out += "\"" + std::string(*value) + "\"";
    } else {
      out += item_text(*value);
    }
    out += separator;
  });
  return out;
}

// date_start date_end total_income total_expense start_amount end_amount
inline std::string describe(const Interval& interval) {
  std::string out = describe_fields<kIntervalFields>(interval, " ");
  out.pop_back();
  return out;
}

// The 26 fields, one per line.
inline std::string describe(const Document& document) {
  return describe_fields<kDocumentFields>(document, "\n");
}

// "|key=value" for each extra key of the document, in order.
// "|key=value" for each extra; and "|summary differs" when the document's summary of them
// (what a table sizes its map column by) is not what reading them gives, or is missing though
// their sizes fit it.
inline std::string describe_extras(const Document& document) {
  std::string out;
  ExtraSizes read;
  for_each_extra(document, [&out](std::string_view key, std::string_view value) {
    out.append("|").append(key).append("=").append(value);
  });
  for_each_extra_room(document, [&read](std::string_view key, size_t value_room) {
    ++read.entries;
    read.key_bytes += key.size();
    read.value_room += value_room;
  });
  const ExtraSizes summed = extra_sizes(document);
  const bool fits = pack_extra_summary(read) != kUnknownExtraSummary;
  if (summed.entries != read.entries || summed.key_bytes != read.key_bytes ||
      summed.value_room != read.value_room ||
      fits != (document.extra_summary != kUnknownExtraSummary)) {
    out += "|summary differs";
  }
  return out;
}

// "key=value;" for each entry, in order.
inline std::string describe(const AttributeMap& map) {
  std::string out;
  for (const AttributeMap::Entry& entry : map.entries()) {
    out.append(entry.key).append("=").append(entry.value).append(";");
  }
  return out;
}

// The kind, the line and every text of the record.
inline std::string describe(const ErrorRecord& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnexpectedSection>) {
          return "UnexpectedSection " + std::to_string(e.lineno) + " " + e.found + " " +
                 std::string(context_name(e.context));
        } else if constexpr (std::is_same_v<T, UnexpectedAttribute>) {
          return "UnexpectedAttribute " + std::to_string(e.lineno) + " " + e.key + "=" + e.value;
        } else if constexpr (std::is_same_v<T, UnrecognizedLine>) {
          return "UnrecognizedLine " + std::to_string(e.lineno) + " " + e.line;
        } else if constexpr (std::is_same_v<T, MissingField>) {
          return "MissingField " + std::to_string(e.lineno) + " " + e.field + " " +
                 std::string(context_name(e.context));
        } else if constexpr (std::is_same_v<T, AccountParseError>) {
          return "AccountParseError " + std::to_string(e.lineno) + " " + e.message;
        } else if constexpr (std::is_same_v<T, HookError>) {
          return "HookError " + std::to_string(e.lineno) + " " + e.message;
        } else if constexpr (std::is_same_v<T, Unfinished>) {
          return "Unfinished";
        } else if constexpr (std::is_same_v<T, NotStatement>) {
          return "NotStatement";
        } else if constexpr (std::is_same_v<T, EmptyInput>) {
          return "EmptyInput";
        } else {
          return "Abandoned";
        }
      },
      error);
}

// Everything in a statement but its encoding, one record per line.
inline std::string describe(const Statement& statement) {
  std::string out = "header: " + describe(statement.header) + "\n";
  for (const Account& account : statement.accounts.accounts()) {
    out += "account " + account.number + ":";
    for (const Interval& interval : account.intervals) out += " [" + describe(interval) + "]";
    out += "\n";
  }
  for (const Document& document : statement.documents) {
    out += "document " + describe_fields<kDocumentFields>(document, "|") + "line " +
           std::to_string(document.lineno) + describe_extras(document);
    if (const auto direction = direction_name(document.direction())) {
      out.append("|direction ").append(*direction);
    }
    out += "\n";
  }
  for (const WarningEntry warning : statement.warnings) {
    out += "warning " + std::to_string(warning.lineno) + " " + std::string(warning.message) + "\n";
  }
  return out;
}

inline std::string describe(const Result<Statement, ErrorRecord>& result) {
  if (!result) return "error: " + describe(result.error());
  return (result.value().encoding == Encoding::Utf8 ? "utf-8\n" : "cp1251\n") +
         describe(result.value());
}

}  // namespace corvina::test_support
