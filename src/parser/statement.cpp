#include "statement.h"

#include <cstring>
#include <utility>

#include "record_schema.h"

namespace corvina {

std::string_view context_name(ParseContext context) {
  switch (context) {
    case ParseContext::Header:
      return "header";
    case ParseContext::Document:
      return "document";
    case ParseContext::Account:
      return "account";
    case ParseContext::Finished:
      return "finished";
    case ParseContext::Init:
      return "init";
    case ParseContext::ReadNextSection:
      return "read_next_section";
  }
  return "init";  // unreachable for a valid enumerator; keeps a cast garbage value harmless
}

std::string_view Document::wide_text(uint32_t row) const {
  WideTextSpan span;
  std::memcpy(&span, text_base + row * sizeof(WideTextSpan), sizeof span);
  return span.size == 0 ? std::string_view() : std::string_view(text_base + span.offset,
                                                                span.size);
}

bool intervals_equal(const Interval& a, const Interval& b) {
  return records_equal<kIntervalFields>(a, b, /*amounts_by_value=*/true);
}

size_t AccountMap::index_of(std::string_view number) const {
  return index_.find(number, [this](size_t i) -> const std::string& { return accounts_[i].number; });
}

Account* AccountMap::find(std::string_view number) {
  const size_t index = index_of(number);
  if (index == kAbsent) return nullptr;
  settle();
  return &accounts_[index];
}

Account& AccountMap::append(std::string number) {
  accounts_.push_back(Account{std::move(number), {}});
  filings_.emplace_back();
  index_.add_last(accounts_.size(),
                  [this](size_t i) -> const std::string& { return accounts_[i].number; });
  return accounts_.back();
}

AccountList AccountMap::take_accounts() {
  settle();
  AccountList taken = std::move(accounts_);
  *this = AccountMap(index_.seed());
  return taken;
}

uint32_t WarningList::number_of(std::string_view message) {
  auto text_at = [this](size_t i) { return this->message(i); };
  const size_t known = index_.find(message, text_at);
  if (known != KeyedIndex::kAbsent) return static_cast<uint32_t>(known);
  messages_.push_back(MessagePlace{texts_.size(), message.size()});
  texts_.append(message);
  index_.add_last(messages_.size(), text_at);
  return static_cast<uint32_t>(messages_.size() - 1);
}

void WarningList::add(LineNumber lineno, std::string_view message) {
  entries_.push_back(Entry{lineno, number_of(message)});
}

void WarningList::append_shifted(const WarningList& later, uint64_t offset) {
  std::vector<uint32_t> numbers(later.message_count());
  for (size_t i = 0; i < numbers.size(); ++i) numbers[i] = number_of(later.message(i));
  for (const Entry& entry : later.entries_) {
    entries_.push_back(Entry{shifted(entry.lineno, offset), numbers[entry.message]});
  }
}

}  // namespace corvina
