#include "document_checks.h"

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "amount.h"
#include "requisites.h"

namespace corvina {
namespace {

bool unset(std::string_view value) { return value.empty() || value == "0"; }

// The requisites of one side: `first` is its INN's place in Requisite, the others follow it.
void check_side(uint32_t index, Requisite first, std::string_view inn,
                std::optional<std::string_view> kpp, std::string_view bic,
                std::string_view account, std::optional<std::string_view> ras_account,
                std::optional<std::string_view> cor_account, std::vector<RequisiteFlaw>& flaws) {
  const auto flag = [&](int offset) {
    flaws.push_back({index, static_cast<Requisite>(static_cast<int>(first) + offset)});
  };
  if (!unset(inn) && !inn_holds(inn)) flag(0);
  if (kpp && !unset(*kpp) && !kpp_holds(*kpp)) flag(1);
  if (!bic_holds(bic)) flag(2);
  if (!account.empty() && !account_holds(account, bic)) flag(3);
  if (ras_account && !ras_account->empty() && *ras_account != account &&
      !account_holds(*ras_account, bic)) {
    flag(4);
  }
  if (cor_account && !cor_account->empty() && !correspondent_account_holds(*cor_account, bic)) {
    flag(5);
  }
}

void append_text(std::string& key, std::string_view text) {
  const auto size = static_cast<uint32_t>(text.size());
  key.append(reinterpret_cast<const char*>(&size), sizeof size);
  key.append(text);
}

template <typename T>
void append_value(std::string& key, const T& value) {
  key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

using TurnoverKey = std::tuple<uint32_t, bool, Date, uint8_t>;

// The fields a digest stands for, compared: two digests alike are taken for the same payment
// only when these agree too.
bool same_payment(const Document& a, const Document& b) {
  return a.text(a.doc_type) == b.text(b.doc_type) &&
         a.text(a.doc_number) == b.text(b.doc_number) && a.doc_date == b.doc_date &&
         amounts_equal_in_value(a.amount, b.amount) &&
         a.text(a.counterparty_account) == b.text(b.counterparty_account) &&
         a.text(a.payee_account) == b.text(b.payee_account);
}

struct Sums {
  Uint128 plus;
  Uint128 minus;
};

}  // namespace

DocumentChecks check_documents(std::span<const Document* const> documents,
                               std::span<const std::string_view> accounts,
                               const HashSeed& seed) {
  DocumentChecks checks;
  checks.digests.reserve(documents.size());
  std::unordered_map<std::string_view, uint32_t> own;
  for (uint32_t i = 0; i < accounts.size(); ++i) own.emplace(accounts[i], i);
  // Incoming sorts before outgoing: the key holds `!incoming`.
  std::map<TurnoverKey, Sums> sums;
  const HashSeed second_seed{seed.k0 ^ 0x9e3779b97f4a7c15ULL, seed.k1 ^ 0xc2b2ae3d27d4eb4fULL};
  std::string key;  // one buffer for every document's key
  // Each digest's earliest document, by open addressing on the digest's first word (a keyed
  // hash, so evenly spread): no node to allocate per document.
  size_t capacity = 16;
  while (capacity < documents.size() * 2) capacity <<= 1;
  constexpr uint32_t kEmpty = UINT32_MAX;
  std::vector<uint32_t> earliest(capacity, kEmpty);

  const auto add = [&](std::string_view candidate, std::optional<std::string_view> fallback,
                       bool incoming, Date day, const Amount& amount) {
    auto found = own.find(candidate);
    if (found == own.end() && fallback) found = own.find(*fallback);
    if (found == own.end()) return;
    Sums& entry = sums[{found->second, !incoming, day, amount.scale}];
    const Uint128 magnitude = Uint128::from_halves(amount.magnitude_high, amount.magnitude_low);
    (amount.negative ? entry.minus : entry.plus) += magnitude;
  };

  for (uint32_t index = 0; index < documents.size(); ++index) {
    const Document& document = *documents[index];
    const std::string_view payer_account = document.text(document.counterparty_account);
    const std::string_view payee_account = document.text(document.payee_account);
    check_side(index, Requisite::PayerInn, document.text(document.counterparty_inn),
               document.text(document.counterparty_kpp), document.text(document.counterparty_bic),
               payer_account, document.text(document.counterparty_ras_account),
               document.text(document.counterparty_cor_account), checks.flaws);
    check_side(index, Requisite::PayeeInn, document.text(document.payee_inn),
               document.text(document.payee_kpp), document.text(document.payee_bic),
               payee_account, document.text(document.payee_ras_account),
               document.text(document.payee_cor_account), checks.flaws);

    if (!own.empty()) {
      add(payee_account, document.text(document.payee_ras_account), true,
          document.income_date.value_or(document.doc_date), document.amount);
      add(payer_account, document.text(document.counterparty_ras_account), false,
          document.outcome_date.value_or(document.doc_date), document.amount);
    }

    key.clear();
    append_text(key, document.text(document.doc_type));
    append_text(key, document.text(document.doc_number));
    append_value(key, document.doc_date.year);
    append_value(key, document.doc_date.month);
    append_value(key, document.doc_date.day);
    const Amount amount = normalise_amount(document.amount);
    append_value(key, amount.magnitude_low);
    append_value(key, amount.magnitude_high);
    append_value(key, amount.scale);
    append_value(key, amount.negative);
    append_text(key, payer_account);
    append_text(key, payee_account);
    const DocumentDigest digest{keyed_hash(key, seed), keyed_hash(key, second_seed)};
    checks.digests.push_back(digest);
    for (size_t slot = digest.first & (capacity - 1);; slot = (slot + 1) & (capacity - 1)) {
      const uint32_t other = earliest[slot];
      if (other == kEmpty) {
        earliest[slot] = index;
        break;
      }
      if (checks.digests[other] == digest) {
        // Compared field by field, not by digest alone.
        if (same_payment(document, *documents[other])) checks.repeats.push_back({index, other});
        break;
      }
    }
  }

  checks.turnovers.reserve(sums.size());
  for (const auto& [where, total] : sums) {
    const auto& [account, outgoing, day, scale] = where;
    checks.turnovers.push_back({account, !outgoing, day, scale, total.plus, total.minus});
  }
  return checks;
}

}  // namespace corvina
