#include "direction.h"

#include "account.h"

namespace corvina {

OwnAccounts::OwnAccounts(const Statement& statement) : accounts_(statement.accounts) {
  if (const std::string_view* number = statement.header.find(kAccountNumberKey)) {
    header_number_ = *number;
  }
}

bool OwnAccounts::contains(std::string_view number) const {
  if (number.empty()) return false;
  return number == header_number_ || accounts_.contains(number);
}

namespace {

bool side_is_ours(const Document& document, TextSpan account, OptionalTextSpan settlement,
                  const OwnAccounts& own) {
  if (own.contains(document.text(account))) return true;
  const std::optional<std::string_view> other = document.text(settlement);
  return other && own.contains(*other);
}

}  // namespace

Direction direction_of(const Document& document, const OwnAccounts& own) {
  const bool payer = side_is_ours(document, document.counterparty_account,
                                  document.counterparty_ras_account, own);
  const bool payee =
      side_is_ours(document, document.payee_account, document.payee_ras_account, own);
  if (payer && payee) return Direction::Internal;
  if (payer) return Direction::Out;
  return payee ? Direction::In : Direction::None;
}

void assign_directions(Statement& statement) {
  const OwnAccounts own(statement);
  if (own.empty()) return;  // every document is None already
  for (Document& document : statement.documents) {
    document.direction_bits = static_cast<uint32_t>(direction_of(document, own));
  }
}

std::optional<std::string_view> direction_name(Direction direction) {
  switch (direction) {
    case Direction::In:
      return "in";
    case Direction::Out:
      return "out";
    case Direction::Internal:
      return "internal";
    case Direction::None:
      break;
  }
  return std::nullopt;
}

}  // namespace corvina
