// The records of one parsed statement and the reasons a parse fails.
//
// These are plain values: the parser fills them, the module converts them, and nothing here
// knows about Python. A Statement owns every text in it (documents keep theirs in one block
// each), so it outlives the input buffer and the token list; so does an ErrorRecord.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "amount.h"
#include "attribute_map.h"
#include "date.h"
#include "keyed_hash.h"
#include "kept_blocks.h"
#include "keyed_index.h"
#include "text_arena.h"

namespace corvina {

// Declaration order is part of the interface (the module maps the values to texts).
enum class Encoding : uint8_t { Cp1251, Utf8 };

// 1 for the first line of the input; blank lines count.
using LineNumber = uint32_t;

// A line number of a later piece of a text as a line number of the whole text. Numbers stop at
// the largest one, as the reader's own do.
inline LineNumber shifted(LineNumber line, uint64_t offset) {
  constexpr uint64_t kLast = std::numeric_limits<LineNumber>::max();
  return static_cast<LineNumber>(std::min<uint64_t>(uint64_t{line} + offset, kLast));
}

// The state of the section machine in which an error was found.
enum class ParseContext : uint8_t { Header, Document, Account, Finished, Init, ReadNextSection };

// "header", "document", "account", "finished", "init", "read_next_section".
std::string_view context_name(ParseContext context);

// One account section: the balances and turnovers of one period.
struct Interval {
  Date date_start;
  std::optional<Date> date_end;
  std::optional<Amount> total_income;
  std::optional<Amount> total_expense;
  Amount start_amount;
  std::optional<Amount> end_amount;
};

// Dates equal, amounts equal in value (100 == 100.00), absent equal only to absent. This is the
// equality that drops a repeated account section.
bool intervals_equal(const Interval& a, const Interval& b);

struct Account {
  std::string number;
  std::vector<Interval> intervals;  // sorted by date_start
};

// Where one text of a document lies in the document's block: eight bytes where a view takes
// sixteen (and an optional view twenty-four), which halves the record a statement keeps per
// document.
//
// 32 bits reach 4 GiB of texts. A document with more than that (the format sets no bound) gets
// a wide block instead: the block opens with a table of 64-bit spans, one per text, and each
// span of the record names its row of that table, with kWide for a size. Only such a document
// pays for the indirection; the test on the size is one compare that is never taken otherwise.
struct TextSpan {
  static constexpr uint32_t kWide = UINT32_MAX - 1;
  uint32_t offset = 0;
  uint32_t size = 0;
};
// An optional text: absent, or a span of the block.
struct OptionalTextSpan {
  static constexpr uint32_t kAbsent = UINT32_MAX;
  uint32_t offset = 0;
  uint32_t size = kAbsent;
  bool present() const { return size != kAbsent; }
};
// One row of a wide block's table: a text at `offset` bytes from the block's start.
struct WideTextSpan {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// A Document::extra_summary that says nothing: the extras are to be read. The summary has 30
// bits; the record's direction takes the other two of its word.
inline constexpr unsigned kExtraSummaryBits = 30;
inline constexpr uint32_t kUnknownExtraSummary = (uint32_t{1} << kExtraSummaryBits) - 1;

// Which way a document's money went relative to the accounts the statement is about: into one
// of them (In), out of one (Out), from one to another (Internal), or past them all (None).
// Declaration order is part of the interface (two bits of the record hold it).
enum class Direction : uint8_t { None, In, Out, Internal };

// One payment document. Its texts lie one after another from text_base, in the arena of the
// statement it was read from, which it shares: the arena goes with the last document holding
// it. Read the texts with text().
struct Document {
  TextSpan doc_number;
  TextSpan doc_type;
  OptionalTextSpan payment_type;
  Date doc_date;
  TextSpan purpose;
  OptionalTextSpan ordering;
  Amount amount;
  TextSpan counterparty_inn;
  OptionalTextSpan counterparty_kpp;
  TextSpan counterparty_bic;
  TextSpan counterparty_bank1;
  TextSpan counterparty_account;
  OptionalTextSpan counterparty;
  OptionalTextSpan counterparty_1;
  std::optional<Date> outcome_date;
  OptionalTextSpan counterparty_ras_account;
  OptionalTextSpan counterparty_cor_account;
  TextSpan payee_inn;
  OptionalTextSpan payee;
  TextSpan payee_account;
  OptionalTextSpan payee_kpp;
  TextSpan payee_bic;
  TextSpan payee_bank1;
  OptionalTextSpan payee_ras_account;
  OptionalTextSpan payee_cor_account;
  std::optional<Date> income_date;
  // The section's keys that name no field, with their values, in the order they first appear:
  // a run of the block read by for_each_extra (document_extra.h), kept like a text.
  TextSpan extra;
  // The line of the section's opening line "СекцияДокумент=…".
  LineNumber lineno = 0;
  // The extras' sizes as a table needs them, in what were four spare bytes of the record, so
  // that measuring a table reads no extras: see pack_extra_summary (document_extra.h).
  uint32_t extra_summary : kExtraSummaryBits = kUnknownExtraSummary;
  // A Direction, set once the whole statement is read (assign_directions, direction.h): a
  // document may come before the account sections that make it ours.
  uint32_t direction_bits : 2 = 0;
  Direction direction() const { return static_cast<Direction>(direction_bits); }

  SharedTextArena texts;
  const char* text_base = nullptr;

  std::string_view text(TextSpan span) const {
    if (span.size == TextSpan::kWide) [[unlikely]] {
      return wide_text(span.offset);
    }
    return span.size == 0 ? std::string_view() : std::string_view(text_base + span.offset,
                                                                  span.size);
  }
  std::optional<std::string_view> text(OptionalTextSpan span) const {
    if (!span.present()) return std::nullopt;
    return text(TextSpan{span.offset, span.size});
  }

 private:
  // The text in row `row` of a wide block's table (see TextSpan).
  std::string_view wide_text(uint32_t row) const;
};

// One warning as read from a WarningList: the message is the list's.
struct WarningEntry {
  LineNumber lineno;
  std::string_view message;
};

// The warnings of a statement, in the order they were raised.
//
// Warnings repeat: a statement of empty document sections warns of the same missing field once
// per section, and a section can be 31 bytes. Each distinct message is therefore kept once, in
// one buffer, and a warning is its line and the number of its message: 8 bytes, where a string
// of its own cost more than the section that raised it. Messages quote the input, so they are
// found under the keyed hash, like account numbers.
class WarningList {
 public:
  WarningList() : WarningList(process_hash_seed()) {}
  explicit WarningList(const HashSeed& seed) : index_(seed) {}

  void add(LineNumber lineno, std::string_view message);
  // Appends `later`'s warnings, their line numbers raised by `offset` (they came from a later
  // piece of the same text).
  void append_shifted(const WarningList& later, uint64_t offset);
  void reserve(size_t count) { entries_.reserve(count); }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  WarningEntry operator[](size_t i) const {
    return WarningEntry{entries_[i].lineno, message(entries_[i].message)};
  }

  // Distinct messages, numbered from 0 in the order they were first raised.
  size_t message_count() const { return messages_.size(); }
  std::string_view message(size_t number) const {
    return std::string_view(texts_).substr(messages_[number].offset, messages_[number].size);
  }
  size_t message_number(size_t i) const { return entries_[i].message; }

  class const_iterator {
   public:
    using value_type = WarningEntry;
    using difference_type = std::ptrdiff_t;
    const_iterator(const WarningList* list, size_t i) : list_(list), i_(i) {}
    WarningEntry operator*() const { return (*list_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return i_ == other.i_; }

   private:
    const WarningList* list_;
    size_t i_;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, entries_.size()}; }

 private:
  struct Entry {
    LineNumber lineno;
    uint32_t message;  // fewer distinct messages than warnings, and those fewer than lines
  };
  struct MessagePlace {
    size_t offset;
    size_t size;
  };
  uint32_t number_of(std::string_view message);

  std::vector<Entry> entries_;
  std::string texts_;  // every distinct message, one after another
  std::vector<MessagePlace> messages_;
  KeyedIndex index_;  // distinct messages by their text
};

using AccountList = std::vector<Account, MappedListAllocator<Account>>;

// Accounts in order of the first appearance of their numbers, with lookup by number.
//
// Intervals are filed (merge_interval) faster than they could be kept sorted: filing appends to
// a log, and the order by start date is settled when the accounts are next read. Inserting each
// section at its place in a sorted list instead would shift the list every time, and sections
// that come newest first (or in any order) would make a large account quadratic.
//
// A statement may hold a million accounts of one section each, so an account costs little
// beyond its own record: one slot of the number index and one pointer for a filing that only
// accounts with sections out of date order ever get. Numbers and interval values are hashed
// under a key (keyed_hash.h), so an input cannot line its accounts or intervals up in one run.
class AccountMap {
 public:
  AccountMap() : AccountMap(process_hash_seed()) {}
  explicit AccountMap(const HashSeed& seed) : index_(seed) {}

  // The account stored under number (its intervals settled), or nullptr.
  Account* find(std::string_view number);
  // Whether an account is stored under number; settles nothing.
  bool contains(std::string_view number) const { return index_of(number) != kAbsent; }
  // Appends a new account; the number must not be present yet.
  Account& append(std::string number);

  // Every account, each with its intervals in their settled order.
  const AccountList& accounts() const {
    settle();
    return accounts_;
  }
  AccountList& accounts() {
    settle();
    return accounts_;
  }
  size_t size() const { return accounts_.size(); }

  // Every account, settled, moved out; the map is left empty. Its lookup tables go at once, so
  // a caller that turns a million accounts into other objects does not hold them meanwhile.
  AccountList take_accounts();

 private:
  friend void merge_interval(AccountMap& accounts, std::string_view number, Interval interval);
  friend void merge_accounts(AccountMap& into, AccountMap&& from);

  // The intervals of one account in the order they were filed, repeats already dropped.
  struct Filing {
    bool settled = true;
    std::vector<Interval> log;
    std::unordered_multimap<uint64_t, size_t> by_value;  // keyed hash of the value -> place in log
  };

  static constexpr size_t kAbsent = KeyedIndex::kAbsent;
  size_t index_of(std::string_view number) const;
  void settle() const;

  // Mutable because settling only brings the accounts up to date with what was filed.
  mutable AccountList accounts_;
  // One per account, in the same order; null while the account's sections came in date order
  // (its intervals are then themselves the filing order).
  mutable std::vector<std::unique_ptr<Filing>, MappedListAllocator<std::unique_ptr<Filing>>>
      filings_;
  // Account positions by number; the numbers are read from accounts_, so none is copied.
  KeyedIndex index_;
};

// A statement's documents: a hundred thousand of them for 100 MB.
using DocumentList = std::vector<Document, KeptBlockAllocator<Document>>;

struct Statement {
  Encoding encoding = Encoding::Utf8;
  AttributeMap header;  // owns its texts (made owned when the statement is created)
  AccountMap accounts;
  DocumentList documents;
  WarningList warnings;
};

// The reasons a parse fails; exactly one per failed parse. Texts are owned copies.
struct UnexpectedSection {
  LineNumber lineno;
  std::string found;  // the section line as written
  ParseContext context;
};
struct UnexpectedAttribute {
  LineNumber lineno;
  std::string key;
  std::string value;
};
struct UnrecognizedLine {
  LineNumber lineno;
  std::string line;  // the whole line, without its line break
};
struct MissingField {
  LineNumber lineno;
  std::string field;
  ParseContext context;
};
struct AccountParseError {
  LineNumber lineno;
  std::string message;
};
struct HookError {
  LineNumber lineno;
  std::string message;
};
struct Unfinished {};    // the input ended before "КонецФайла" closed the statement
struct NotStatement {};  // not a statement in a supported encoding
struct EmptyInput {};    // no bytes at all
// The parse was given up for a reason of its host's that the host keeps and reports itself (a
// hook's Python exception, say, or an interrupt the host was asked about while the parse ran);
// the record carries no text of its own.
struct Abandoned {};

// Alternative order is part of the interface.
using ErrorRecord = std::variant<UnexpectedSection, UnexpectedAttribute, UnrecognizedLine,
                                 MissingField, AccountParseError, HookError, Unfinished,
                                 NotStatement, EmptyInput, Abandoned>;

// The message of a failed parse, the one text for each kind: "Unexpected section '…' in context
// '…'", "Input is empty" and so on. Empty for Abandoned, whose reason is the host's.
std::string error_message(const ErrorRecord& error);

// The same message as the pieces it joins: views of fixed texts and of the record's own, valid
// while the record lives. A caller that makes its own string of the message (a Python str) needs
// no intermediate copy of a text that may be as long as the input.
struct MessagePieces {
  std::array<std::string_view, 5> pieces;
  size_t count = 0;
};

// How a host reports each kind of failure: the class of error it raises...
enum class ErrorClass : uint8_t {
  Syntax,        // a fault at a line of the statement, with a detail
  Unfinished,    // the statement ended before its end line
  NotStatement,  // not a statement at all
  EmptyInput,    // no bytes
  HostsOwn,      // Abandoned: the host raises the reason it kept
};

// ...and the detail a syntax error carries, in the order of the host's detail classes.
// DocumentParseError is no kind of failure (such documents become warnings), but a host may make
// the detail for its users.
enum class ErrorDetail : uint8_t {
  UnexpectedSection,
  UnexpectedAttribute,
  UnrecognizedLine,
  MissingField,
  AccountParseError,
  DocumentParseError,
  HookError,
  None,
};

// Everything a host needs to report a failure, from one row per kind: the class, the detail,
// the line, the message, and which pieces of the message are the detail's texts.
struct ErrorFacts {
  ErrorClass error_class;
  ErrorDetail detail = ErrorDetail::None;
  LineNumber lineno = 0;
  MessagePieces message;
  std::array<uint8_t, 2> detail_pieces{};
  size_t detail_count = 0;

  std::string_view detail_text(size_t i) const { return message.pieces[detail_pieces[i]]; }
};
ErrorFacts error_facts(const ErrorRecord& error);

}  // namespace corvina
