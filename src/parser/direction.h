// Which way each document's money went, relative to the accounts the statement is about.
#pragma once

#include <optional>
#include <string_view>

#include "statement.h"

namespace corvina {

// The accounts a statement is about: the numbers of its account sections, and the header's
// "РасчСчет" (a statement without account sections often names its account only there; the
// header keeps the last such line). An empty number is nobody's.
class OwnAccounts {
 public:
  explicit OwnAccounts(const Statement& statement);
  bool contains(std::string_view number) const;
  bool empty() const { return accounts_.size() == 0 && header_number_.empty(); }

 private:
  const AccountMap& accounts_;
  std::string_view header_number_;
};

// Out when the payer is ours, In when the payee is, Internal when both are, None when neither.
// A side is ours when its account ("ПлательщикСчет", "ПолучательСчет") or its settlement
// account ("ПлательщикРасчСчет", "ПолучательРасчСчет") is: a payment through a correspondent
// bank carries the bank's account in the first and the client's own in the second.
Direction direction_of(const Document& document, const OwnAccounts& own);

// Sets every document's direction from the statement's own accounts. Run once the statement is
// whole: account sections may come after the documents they are about.
void assign_directions(Statement& statement);

// "in", "out", "internal", or nothing for None: the texts every output shows.
std::optional<std::string_view> direction_name(Direction direction);

}  // namespace corvina
