#include "shared_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvina {
namespace {

// Every piece runs once whatever the threads; of several failures, the one of the lowest piece
// comes back, as it would on one thread.
TEST(shared_work_test, every_piece_once_and_the_first_failure) {
  for (const size_t threads : {1u, 2u, 7u, 64u}) {
    for (const size_t count : {0u, 1u, 5u, 300u}) {
      std::vector<std::atomic<int>> runs(count);
      run_shared_work(count, threads, [&](size_t i) { ++runs[i]; });
      for (size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i], 1) << threads << " " << count;
    }
    try {
      run_shared_work(50, threads, [](size_t i) {
        if (i % 7 == 3) throw std::runtime_error(std::to_string(i));
      });
      ADD_FAILURE() << "nothing thrown on " << threads;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "3") << threads;
    }
  }
}

}  // namespace
}  // namespace corvina
