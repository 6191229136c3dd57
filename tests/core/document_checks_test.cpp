#include "document_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

constexpr std::string_view kOwn = "40702810400000000225";  // at BIC 044525225

// A payment order from the payer's account to the payee's, with sound requisites unless the
// extra lines (which come last, so they win) say otherwise.
std::string order(std::string_view number, std::string_view amount, std::string_view payer,
                  std::string_view payee, std::string_view extra = "",
                  std::string_view kind = "Платежное поручение") {
  return "СекцияДокумент=" + std::string(kind) + "\nНомер=" + std::string(number) +
         "\nДата=05.03.2024\nСумма=" + std::string(amount) + "\nПлательщикСчет=" +
         std::string(payer) +
         "\nПлательщикИНН=7707083893\nПлательщикКПП=773601001\nПлательщикБИК=044525225\n"
         "ПлательщикБанк1=Банк\nПлательщикКорсчет=30101810400000000225\nПолучательСчет=" +
         std::string(payee) +
         "\nПолучательИНН=500100732259\nПолучательБИК=044525225\nПолучательБанк1=Банк\n"
         "НазначениеПлатежа=Оплата\n" +
         std::string(extra) + "КонецДокумента\n";
}

struct Checked {
  Statement statement;
  DocumentChecks checks;
};

Checked check(const std::string& sections, std::vector<std::string_view> accounts = {kOwn}) {
  auto parsed = parse_statement(test_support::statement_of(sections), {});
  EXPECT_TRUE(parsed);
  Checked checked{std::move(parsed.value()), {}};
  std::vector<const Document*> documents;
  for (const Document& document : checked.statement.documents) documents.push_back(&document);
  checked.checks = check_documents(documents, accounts, HashSeed{1, 2});
  return checked;
}

std::vector<std::pair<uint32_t, Requisite>> flaws_of(const DocumentChecks& checks) {
  std::vector<std::pair<uint32_t, Requisite>> flaws;
  for (const RequisiteFlaw& flaw : checks.flaws) flaws.emplace_back(flaw.document, flaw.requisite);
  return flaws;
}

struct FlawCase {
  const char* name;
  std::string_view extra;
  std::vector<Requisite> expected;
};

const FlawCase kFlawCases[] = {
    {"sound", "", {}},
    {"unset INN and KPP", "ПлательщикИНН=0\nПолучательИНН=\nПлательщикКПП=0\n", {}},
    {"every payer requisite",
     "ПлательщикИНН=7707083894\nПлательщикКПП=77360100\nПлательщикБИК=04452522\n",
     // A BIC that is no BIC leaves the accounts' keys unchecked.
     {Requisite::PayerInn, Requisite::PayerKpp, Requisite::PayerBic}},
    {"payee account key", "ПолучательСчет=40702810500000000225\n", {Requisite::PayeeAccount}},
    {"РасчСчет beside the account", "ПолучательРасчСчет=40702810500000000225\n",
     {Requisite::PayeeRasAccount}},
    {"РасчСчет equal to the account", "ПолучательРасчСчет=40702810400000000225\n", {}},
    {"correspondent account", "ПлательщикКорсчет=30101810500000000225\nПолучательКорсчет=1\n",
     {Requisite::PayerCorAccount, Requisite::PayeeCorAccount}},
};

TEST(document_checks_test, flaws) {
  for (const FlawCase& test : kFlawCases) {
    const Checked checked = check(order("1", "10", kOwn, kOwn, test.extra));
    std::vector<std::pair<uint32_t, Requisite>> expected;
    for (Requisite requisite : test.expected) expected.emplace_back(0, requisite);
    EXPECT_EQ(flaws_of(checked.checks), expected) << test.name;
  }
}

std::string text_of(const DayTurnover& turnover) {
  // Small sums only: the low word is the whole magnitude.
  return std::to_string(turnover.account) + (turnover.incoming ? " in " : " out ") +
         std::string(format_date(turnover.day).view()) + " " +
         std::to_string(turnover.plus.low()) + "-" + std::to_string(turnover.minus.low()) +
         "e-" + std::to_string(turnover.scale);
}

TEST(document_checks_test, turnovers) {
  constexpr std::string_view kOther = "40702810500000000001";
  const Checked checked = check(
      order("1", "10.50", kOwn, "40702810000000000002") +
      order("2", "1.25", kOwn, kOther, "ДатаСписано=06.03.2024\n") +
      order("3", "-2.00", "40702810000000000002", kOwn) +
      order("4", "7", "40702810000000000002", "40702810000000000003",
            "ПолучательРасчСчет=40702810400000000225\n") +
      order("5", "3", "40702810000000000002", kOther, "ДатаПоступило=07.03.2024\n"),
      {kOwn, kOther});
  std::vector<std::string> found;
  for (const DayTurnover& turnover : checked.checks.turnovers) found.push_back(text_of(turnover));
  // Sums by account, then incoming first, then day, then scale; negative amounts apart.
  EXPECT_EQ(found, (std::vector<std::string>{
                       "0 in 2024-03-05 7-0e-0", "0 in 2024-03-05 0-200e-2",
                       "0 out 2024-03-05 1050-0e-2", "0 out 2024-03-06 125-0e-2",
                       "1 in 2024-03-05 125-0e-2", "1 in 2024-03-07 3-0e-0"}));
}

TEST(document_checks_test, digests) {
  const Checked checked = check(
      order("1", "348000", kOwn, "40702810000000000002") +
      order("1", "348000.00", kOwn, "40702810000000000002") +
      order("1", "348000.01", kOwn, "40702810000000000002") +
      order("2", "348000", kOwn, "40702810000000000002") +
      order("1", "348000", "40702810000000000002", kOwn) +
      order("1", "348000", kOwn, "40702810000000000002", "Дата=06.03.2024\n") +
      order("1", "348000", kOwn, "40702810000000000002", "", "Банковский ордер"));
  const std::vector<DocumentDigest>& digests = checked.checks.digests;
  ASSERT_EQ(digests.size(), 7u);
  EXPECT_EQ(digests[0], digests[1]) << "amounts compare by value";
  for (size_t i = 2; i < digests.size(); ++i) EXPECT_NE(digests[0], digests[i]) << i;
}

TEST(document_checks_test, repeats) {
  const std::string first = order("1", "348000", kOwn, "40702810000000000002");
  const std::string second = order("2", "5", kOwn, "40702810000000000002");
  const Checked checked =
      check(first + second + order("1", "348000.00", kOwn, "40702810000000000002") + second +
            first + order("3", "5", kOwn, "40702810000000000002"));
  std::vector<std::pair<uint32_t, uint32_t>> repeats;
  for (const RepeatedDocument& repeat : checked.checks.repeats) {
    repeats.emplace_back(repeat.document, repeat.first);
  }
  // Each repeat names the earliest document, in document order.
  EXPECT_EQ(repeats, (std::vector<std::pair<uint32_t, uint32_t>>{{2, 0}, {3, 1}, {4, 0}}));
}

}  // namespace
}  // namespace corvina
