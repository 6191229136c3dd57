#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "statement.h"

namespace corvina {
namespace {

using Expected = std::vector<std::pair<LineNumber, std::string>>;

Expected read_back(const WarningList& warnings) {
  Expected out;
  for (const WarningEntry warning : warnings) out.emplace_back(warning.lineno, warning.message);
  return out;
}

TEST(warning_list_test, repeated_messages_are_kept_once) {
  WarningList warnings;
  for (LineNumber line = 1; line <= 1000; ++line) {
    warnings.add(line, line % 2 ? "missing Дата" : "missing Сумма");
  }
  EXPECT_EQ(warnings.size(), 1000u);
  EXPECT_EQ(warnings.message_count(), 2u);
  EXPECT_EQ(warnings[998].message, "missing Дата");
  EXPECT_EQ(warnings[999].message, "missing Сумма");
  EXPECT_EQ(warnings.message_number(0), warnings.message_number(2));
}

// Many distinct messages grow the index past its first size; every one must still be found.
TEST(warning_list_test, distinct_messages_survive_growth) {
  WarningList warnings;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 300; ++i) warnings.add(static_cast<LineNumber>(i), "m" + std::to_string(i));
  }
  EXPECT_EQ(warnings.message_count(), 300u);
  for (size_t i = 0; i < 300; ++i) {
    EXPECT_EQ(warnings.message_number(i), warnings.message_number(i + 300));
    EXPECT_EQ(warnings[i + 300].message, "m" + std::to_string(i));
  }
}

// A later piece numbers its messages on its own: appending must map them onto the earlier
// list's numbers, old and new alike, and shift its lines without passing the largest number.
TEST(warning_list_test, appending_a_later_piece) {
  constexpr LineNumber kLast = std::numeric_limits<LineNumber>::max();
  WarningList earlier;
  earlier.add(3, "a");
  earlier.add(5, "b");
  WarningList later;
  later.add(1, "c");
  later.add(2, "a");
  later.add(kLast - 10, "c");
  earlier.append_shifted(later, 100);
  EXPECT_EQ(read_back(earlier), (Expected{{3, "a"}, {5, "b"}, {101, "c"}, {102, "a"}, {kLast, "c"}}));
  EXPECT_EQ(earlier.message_count(), 3u);
  EXPECT_EQ(earlier.message_number(3), earlier.message_number(0));
}

}  // namespace
}  // namespace corvina
