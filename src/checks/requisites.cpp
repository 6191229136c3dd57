#include "requisites.h"

#include <array>
#include <cstddef>

namespace corvina {
namespace {

bool all_digits(std::string_view text, size_t count) {
  if (text.size() != count) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int digit(char c) { return c - '0'; }

// The control digit of the first weights.size() digits: the weighted sum mod 11 mod 10.
template <size_t N>
char control_digit(std::string_view digits, const std::array<int, N>& weights) {
  int sum = 0;
  for (size_t i = 0; i < N; ++i) sum += digit(digits[i]) * weights[i];
  return static_cast<char>('0' + sum % 11 % 10);
}

constexpr std::array<int, 9> kInn10 = {2, 4, 10, 3, 5, 9, 4, 6, 8};
constexpr std::array<int, 10> kInn11 = {7, 2, 4, 10, 3, 5, 9, 4, 6, 8};
constexpr std::array<int, 11> kInn12 = {3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8};

// The key holds when the 23 digits of the bank's part and the account, weighed 7, 1, 3 over
// and over, sum to a multiple of ten. Both parts are digits of known length: the callers made
// sure.
constexpr std::array<int, 23> kKeyWeights = [] {
  std::array<int, 23> weights{};
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = i % 3 == 0 ? 7 : i % 3 == 1 ? 1 : 3;
  return weights;
}();

bool key_holds(std::string_view bank_part, std::string_view account) {
  int sum = 0;
  for (size_t i = 0; i < 3; ++i) sum += digit(bank_part[i]) * kKeyWeights[i];
  for (size_t i = 0; i < 20; ++i) sum += digit(account[i]) * kKeyWeights[3 + i];
  return sum % 10 == 0;
}

bool central_bank_unit(std::string_view bic) {
  const std::string_view unit = bic.substr(6, 3);
  return unit == "000" || unit == "001" || unit == "002";
}

}  // namespace

bool inn_holds(std::string_view inn) {
  if (all_digits(inn, 10)) return inn[9] == control_digit(inn, kInn10);
  if (all_digits(inn, 12)) {
    return inn[10] == control_digit(inn, kInn11) && inn[11] == control_digit(inn, kInn12);
  }
  return false;
}

bool kpp_holds(std::string_view kpp) {
  if (kpp.size() != 9) return false;
  for (size_t i = 0; i < 9; ++i) {
    const char c = kpp[i];
    const bool is_digit = c >= '0' && c <= '9';
    if (i == 4 || i == 5) {
      if (!is_digit && !(c >= 'A' && c <= 'Z')) return false;
    } else if (!is_digit) {
      return false;
    }
  }
  return true;
}

bool bic_holds(std::string_view bic) { return all_digits(bic, 9); }

bool account_holds(std::string_view account, std::string_view bic) {
  if (!all_digits(account, 20)) return false;
  if (!bic_holds(bic) || account.starts_with("03")) return true;
  if (central_bank_unit(bic)) return correspondent_account_holds(account, bic);
  return key_holds(bic.substr(6, 3), account);
}

bool correspondent_account_holds(std::string_view account, std::string_view bic) {
  if (!all_digits(account, 20)) return false;
  if (!bic_holds(bic)) return true;
  const char bank_part[3] = {'0', bic[4], bic[5]};
  return key_holds(std::string_view(bank_part, 3), account);
}

}  // namespace corvina
