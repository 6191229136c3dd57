#include "shared_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/wait.h>
#include <unistd.h>
#endif

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

#if defined(__linux__)
// Two pieces that each wait until both have started, so that two threads must run them at
// once: the kernel's number of the thread other than the caller that ran one, or none when
// they never met. (Not std::thread::id: a new thread may be given the id of one that ended.)
std::optional<pid_t> helper_of_two_meeting_pieces() {
  std::atomic<int> started{0};
  std::atomic<bool> met{true};
  std::atomic<pid_t> helper{0};
  const pid_t caller = gettid();
  run_shared_work(2, 2, [&](size_t) {
    ++started;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started.load() < 2) {
      if (std::chrono::steady_clock::now() > deadline) {
        met = false;
        return;
      }
      std::this_thread::yield();
    }
    if (gettid() != caller) helper = gettid();
  });
  if (!met || helper == 0) return std::nullopt;
  return helper.load();
}

// A thread that has done its share of a run takes a later run's pieces, rather than a thread
// started for each; a child forked while such threads wait has none of them and starts its own.
TEST(shared_work_test, threads_wait_for_the_next_run) {
  constexpr int kRuns = 20;
  std::set<pid_t> helpers;
  for (int run = 0; run < kRuns; ++run) {
    const std::optional<pid_t> helper = helper_of_two_meeting_pieces();
    ASSERT_TRUE(helper.has_value()) << run;
    helpers.insert(*helper);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_LT(helpers.size(), size_t{kRuns});
  // ThreadSanitizer refuses to start a thread in a child forked from a process with threads.
#if !defined(__SANITIZE_THREAD__)
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(helper_of_two_meeting_pieces().has_value() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}
#endif

}  // namespace
}  // namespace corvina
