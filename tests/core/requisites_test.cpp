#include "requisites.h"

#include <gtest/gtest.h>

#include <string_view>

namespace corvina {
namespace {

struct TextCase {
  std::string_view text;
  bool holds;
};

// Real requisites (a bank's INN, KPP, BIC and correspondent account) and one-digit changes.
const TextCase kInns[] = {
    {"7707083893", true},   {"7707083894", false}, {"500100732259", true},
    {"500100732258", false}, {"500100732249", false}, {"770708389", false},
    {"77070838930", false}, {"", false},            {"770708389Ч", false},
    {"7707O83893", false},
};

const TextCase kKpps[] = {
    {"773601001", true}, {"7736AB001", true}, {"7736ab001", false}, {"77360100", false},
    {"A73601001", false}, {"7736010011", false}, {"", false},
};

const TextCase kBics[] = {
    {"044525225", true}, {"04452522", false}, {"0445252255", false}, {"04452522A", false},
};

TEST(requisites_test, inn) {
  for (const auto& [text, holds] : kInns) EXPECT_EQ(inn_holds(text), holds) << text;
}

TEST(requisites_test, kpp) {
  for (const auto& [text, holds] : kKpps) EXPECT_EQ(kpp_holds(text), holds) << text;
}

TEST(requisites_test, bic) {
  for (const auto& [text, holds] : kBics) EXPECT_EQ(bic_holds(text), holds) << text;
}

struct AccountCase {
  std::string_view account;
  std::string_view bic;
  bool holds;
  bool correspondent_holds;
};

const AccountCase kAccounts[] = {
    // A bank's correspondent account holds only as one, with the BIC's 5th and 6th digits.
    {"30101810400000000225", "044525225", false, true},
    {"30101810500000000225", "044525225", false, false},
    {"40702810400000000225", "044525225", true, false},
    {"40702810500000000225", "044525225", false, false},
    // At a division of the Bank of Russia an account is keyed as a correspondent one.
    {"40101810400000010002", "046015001", true, true},
    // Treasury accounts carry no key.
    {"03100643000000012100", "010702101", true, false},
    // A BIC that is no BIC leaves the shape alone to check.
    {"40702810500000000225", "Payer bank", true, true},
    {"4070281050000000022", "044525225", false, false},
    {"4070281050000000022X", "Payer bank", false, false},
    {"", "044525225", false, false},
};

TEST(requisites_test, account) {
  for (const auto& [account, bic, holds, correspondent_holds] : kAccounts) {
    EXPECT_EQ(account_holds(account, bic), holds) << account << " " << bic;
    EXPECT_EQ(correspondent_account_holds(account, bic), correspondent_holds)
        << account << " " << bic;
  }
}

}  // namespace
}  // namespace corvina
