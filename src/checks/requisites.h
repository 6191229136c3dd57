// Control digits and shapes of Russian bank requisites, as payment documents carry them.
#pragma once

#include <string_view>

namespace corvina {

// An organisation's INN: 10 digits, the last a control digit of the nine before it; a
// person's: 12 digits, the last two control digits of the ten and eleven before them.
bool inn_holds(std::string_view inn);
// Nine characters: four digits, two digits or capital Latin letters, three digits.
bool kpp_holds(std::string_view kpp);
// Nine digits.
bool bic_holds(std::string_view bic);
// A 20-digit account in the bank of `bic` whose key (its ninth digit) agrees with the BIC's
// last three digits. An account at a division of the Bank of Russia (a BIC ending in 000 to
// 002) is keyed as a correspondent account; a treasury account (03...) has no key. A BIC that is
// not nine digits leaves only the account's shape to check.
bool account_holds(std::string_view account, std::string_view bic);
// A bank's 20-digit correspondent account whose key agrees with a zero and the BIC's fifth and
// sixth digits.
bool correspondent_account_holds(std::string_view account, std::string_view bic);

}  // namespace corvina
