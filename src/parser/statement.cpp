#include "statement.h"

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

bool intervals_equal(const Interval& a, const Interval& b) {
  return records_equal<kIntervalFields>(a, b, /*amounts_by_value=*/true);
}

size_t AccountMap::index_of(std::string_view number) const {
  const auto found = positions_.find(number);
  return found == positions_.end() ? kAbsent : found->second;
}

Account* AccountMap::find(std::string_view number) {
  const size_t index = index_of(number);
  if (index == kAbsent) return nullptr;
  settle();
  return &accounts_[index];
}

Account& AccountMap::append(std::string number) {
  positions_.emplace(number, accounts_.size());
  accounts_.push_back(Account{std::move(number), {}});
  filings_.emplace_back();
  return accounts_.back();
}

}  // namespace corvina
