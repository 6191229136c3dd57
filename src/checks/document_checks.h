// What the checks of a statement need from its documents, gathered in one pass over them:
// the requisites that fail their checks, the turnovers of the statement's own accounts by day,
// and a digest per document of what makes two documents the same payment.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "date.h"
#include "keyed_hash.h"
#include "statement.h"
#include "uint128.h"

namespace corvina {

// A requisite of a document, payer's side first; the values are part of the module's
// interface to corvina_convert, which names each one.
enum class Requisite : uint8_t {
  PayerInn,
  PayerKpp,
  PayerBic,
  PayerAccount,
  PayerRasAccount,
  PayerCorAccount,
  PayeeInn,
  PayeeKpp,
  PayeeBic,
  PayeeAccount,
  PayeeRasAccount,
  PayeeCorAccount,
};

struct RequisiteFlaw {
  uint32_t document;  // its index in the documents checked
  Requisite requisite;
};

// The amounts written at one scale that one day brought in to, or took out of, one account:
// (plus - minus) / 10^scale. Summed apart by scale, they need no rescaling, and 2^32 amounts of
// at most 2^96 each cannot carry past 128 bits.
struct DayTurnover {
  uint32_t account;  // its index in the accounts asked about
  bool incoming;
  Date day;
  uint8_t scale;
  Uint128 plus;
  Uint128 minus;
};

// 128 bits of two keyed hashes of the document's kind, number, date, amount by value (100 and
// 100.00 alike) and both accounts. Only comparable within one process: the keys are its own.
struct DocumentDigest {
  uint64_t first = 0;
  uint64_t second = 0;
  friend bool operator==(const DocumentDigest&, const DocumentDigest&) = default;
};

// A document that repeats an earlier one of the same documents: the same kind, number, date,
// amount by value and accounts, compared field by field, not only by digest.
struct RepeatedDocument {
  uint32_t document;
  uint32_t first;  // the earliest document it repeats
};

struct DocumentChecks {
  std::vector<RequisiteFlaw> flaws;        // by document, then in Requisite order
  std::vector<DayTurnover> turnovers;      // by account, incoming before outgoing, day, scale
  std::vector<RepeatedDocument> repeats;   // in document order
  std::vector<DocumentDigest> digests;     // one per document, in order
};

// A document is paid in to an account that is its payee's account (ПолучательСчет) or, failing
// that, its payee's ПолучательРасчСчет, on its income date or else its own date; paid out the
// same way on the payer's side with the outcome date. INN and KPP written as "" or "0" (a person
// without one, a budget payment) are not checked; nor are empty accounts, nor a РасчСчет equal
// to the account beside it.
DocumentChecks check_documents(std::span<const Document* const> documents,
                               std::span<const std::string_view> accounts,
                               const HashSeed& seed);

}  // namespace corvina
