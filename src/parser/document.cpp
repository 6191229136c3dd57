#include "document.h"

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "amount.h"
#include "date.h"

namespace corvina {

namespace {

// Fields in declaration order; the values index the raw texts collected in one pass.
enum Field : uint8_t {
  kNumber,
  kKind,
  kPaymentType,
  kDate,
  kPurpose,
  kOrdering,
  kSum,
  kPayerInn,
  kPayerKpp,
  kPayerBic,
  kPayerBank1,
  kPayerAccount,
  kPayer,
  kPayer1,
  kOutcomeDate,
  kPayerRasAccount,
  kPayerCorAccount,
  kPayeeInn,
  kPayee,
  kPayeeAccount,
  kPayeeKpp,
  kPayeeBic,
  kPayeeBank1,
  kPayeeRasAccount,
  kPayeeCorAccount,
  kIncomeDate,
  kFieldCount,
  kNoField = kFieldCount,
};

constexpr std::array<std::string_view, kFieldCount> kKeys = {
    "Номер",
    "СекцияДокумент",
    "ВидОплаты",
    "Дата",
    "НазначениеПлатежа",
    "Очередность",
    "Сумма",
    "ПлательщикИНН",
    "ПлательщикКПП",
    "ПлательщикБИК",
    "ПлательщикБанк1",
    "ПлательщикСчет",
    "Плательщик",
    "Плательщик1",
    "ДатаСписано",
    "ПлательщикРасчСчет",
    "ПлательщикКорсчет",
    "ПолучательИНН",
    "Получатель",
    "ПолучательСчет",
    "ПолучательКПП",
    "ПолучательБИК",
    "ПолучательБанк1",
    "ПолучательРасчСчет",
    "ПолучательКорсчет",
    "ДатаПоступило",
};

constexpr Field kRequired[] = {kNumber,      kKind,     kDate,         kPurpose,  kSum,
                               kPayerInn,    kPayerBic, kPayerBank1,   kPayerAccount,
                               kPayeeInn,    kPayeeAccount, kPayeeBic, kPayeeBank1};

bool is_key(std::string_view key, Field field) { return key == kKeys[field]; }

// The length alone narrows every key to at most seven candidates, most often to one; only
// those are compared byte for byte.
Field field_of(std::string_view key) {
  switch (key.size()) {
    case 8:
      return is_key(key, kDate) ? kDate : kNoField;
    case 10:
      if (is_key(key, kNumber)) return kNumber;
      return is_key(key, kSum) ? kSum : kNoField;
    case 18:
      return is_key(key, kPaymentType) ? kPaymentType : kNoField;
    case 20:
      if (is_key(key, kPayer)) return kPayer;
      return is_key(key, kPayee) ? kPayee : kNoField;
    case 21:
      return is_key(key, kPayer1) ? kPayer1 : kNoField;
    case 22:
      if (is_key(key, kOrdering)) return kOrdering;
      return is_key(key, kOutcomeDate) ? kOutcomeDate : kNoField;
    case 26:
      for (Field field : {kPayerInn, kPayerKpp, kPayerBic, kPayeeInn, kPayeeKpp, kPayeeBic,
                          kIncomeDate}) {
        if (is_key(key, field)) return field;
      }
      return kNoField;
    case 28:
      // A hook may have put "СекцияДокумент" into the map; the section's own kind wins, so
      // that key is treated as unknown here.
      if (is_key(key, kPayerAccount)) return kPayerAccount;
      return is_key(key, kPayeeAccount) ? kPayeeAccount : kNoField;
    case 29:
      if (is_key(key, kPayerBank1)) return kPayerBank1;
      return is_key(key, kPayeeBank1) ? kPayeeBank1 : kNoField;
    case 34:
      for (Field field : {kPurpose, kPayerCorAccount, kPayeeCorAccount}) {
        if (is_key(key, field)) return field;
      }
      return kNoField;
    case 36:
      if (is_key(key, kPayerRasAccount)) return kPayerRasAccount;
      return is_key(key, kPayeeRasAccount) ? kPayeeRasAccount : kNoField;
    default:
      return kNoField;
  }
}

using RequiredText = std::string_view Document::*;
using OptionalText = std::optional<std::string_view> Document::*;

constexpr std::pair<Field, RequiredText> kRequiredTexts[] = {
    {kNumber, &Document::doc_number},
    {kKind, &Document::doc_type},
    {kPurpose, &Document::purpose},
    {kPayerInn, &Document::counterparty_inn},
    {kPayerBic, &Document::counterparty_bic},
    {kPayerBank1, &Document::counterparty_bank1},
    {kPayerAccount, &Document::counterparty_account},
    {kPayeeInn, &Document::payee_inn},
    {kPayeeAccount, &Document::payee_account},
    {kPayeeBic, &Document::payee_bic},
    {kPayeeBank1, &Document::payee_bank1},
};

constexpr std::pair<Field, OptionalText> kOptionalTexts[] = {
    {kPaymentType, &Document::payment_type},
    {kOrdering, &Document::ordering},
    {kPayerKpp, &Document::counterparty_kpp},
    {kPayer, &Document::counterparty},
    {kPayer1, &Document::counterparty_1},
    {kPayerRasAccount, &Document::counterparty_ras_account},
    {kPayerCorAccount, &Document::counterparty_cor_account},
    {kPayee, &Document::payee},
    {kPayeeKpp, &Document::payee_kpp},
    {kPayeeRasAccount, &Document::payee_ras_account},
    {kPayeeCorAccount, &Document::payee_cor_account},
};

}  // namespace

std::string missing_field_message(std::string_view key) {
  std::string message;
  message.reserve(16 + key.size());
  message.append("missing field `").append(key).append("`");
  return message;
}

static_assert(DocumentFields::kCount == kFieldCount);

void DocumentFields::add(std::string_view key, std::string_view value) {
  const Field field = field_of(key);
  if (field != kNoField) raw_[field] = value;
}

Result<Document, std::string> build_document(std::string_view kind,
                                             const AttributeMap& attributes) {
  // The map holds each key once, so adding its entries overwrites nothing.
  DocumentFields fields;
  for (const AttributeMap::Entry& entry : attributes.entries()) fields.add(entry.key, entry.value);
  return fields.build(kind);
}

Result<Document, std::string> DocumentFields::build(std::string_view kind) const {
  // Conversions wait until every line has been seen because the first failure must be the
  // first in byte order of the keys, not in file order.
  std::array<std::optional<std::string_view>, kFieldCount> raw = raw_;
  raw[kKind] = kind;

  Document document;
  // Byte order of the converted keys: Дата < ДатаПоступило < ДатаСписано < Сумма.
  if (raw[kDate]) {
    auto date = parse_date(*raw[kDate]);
    if (!date) return fail(std::string(date.error()));
    document.doc_date = date.value();
  }
  if (raw[kIncomeDate]) {
    auto date = parse_optional_date(*raw[kIncomeDate]);
    if (!date) return fail(std::string(date.error()));
    document.income_date = date.value();
  }
  if (raw[kOutcomeDate]) {
    auto date = parse_optional_date(*raw[kOutcomeDate]);
    if (!date) return fail(std::string(date.error()));
    document.outcome_date = date.value();
  }
  if (raw[kSum]) {
    auto amount = parse_amount(*raw[kSum]);
    if (!amount) return fail(std::move(amount).error());
    document.amount = amount.value();
  }

  for (Field field : kRequired) {
    if (!raw[field]) return fail(missing_field_message(kKeys[field]));
  }

  // Every text of the document goes into one block sized in advance; the fields view into it.
  size_t total = 0;
  for (const auto& [field, member] : kRequiredTexts) total += raw[field]->size();
  for (const auto& [field, member] : kOptionalTexts) {
    if (raw[field]) total += raw[field]->size();
  }
  // Every byte of the block is written below, so it is not zero-filled first.
  if (total > 0) document.text_block = std::make_unique_for_overwrite<char[]>(total);
  char* out = document.text_block.get();
  const auto copy = [&out](std::string_view text) {
    if (text.empty()) return std::string_view();
    std::memcpy(out, text.data(), text.size());
    const std::string_view copied(out, text.size());
    out += text.size();
    return copied;
  };
  for (const auto& [field, member] : kRequiredTexts) document.*member = copy(*raw[field]);
  for (const auto& [field, member] : kOptionalTexts) {
    if (raw[field]) document.*member = copy(*raw[field]);
  }
  return document;
}

}  // namespace corvina
