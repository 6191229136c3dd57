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
  if (index_.empty()) return kAbsent;
  const size_t mask = index_.size() - 1;
  for (size_t slot = keyed_hash(number, seed_) & mask;; slot = (slot + 1) & mask) {
    const uint32_t position = index_[slot];
    if (position == 0) return kAbsent;
    if (accounts_[position - 1].number == number) return position - 1;
  }
}

void AccountMap::place(size_t position) {
  const size_t mask = index_.size() - 1;
  size_t slot = keyed_hash(accounts_[position].number, seed_) & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<uint32_t>(position + 1);
}

void AccountMap::rebuild_index() {
  size_t capacity = 16;
  while (capacity < accounts_.size() * 2) capacity *= 2;
  index_.assign(capacity, 0);
  for (size_t i = 0; i < accounts_.size(); ++i) place(i);
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
  if (accounts_.size() * 2 > index_.size()) {
    rebuild_index();
  } else {
    place(accounts_.size() - 1);
  }
  return accounts_.back();
}

}  // namespace corvina
