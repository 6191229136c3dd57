// Freed blocks handed out again: the right ones, the lasting share kept and the rest only while
// recent, and a child forked while other threads take and give blocks can still take one.
#include "kept_blocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "huge_pages.h"

#if defined(__linux__)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace corvina {
namespace {

constexpr size_t kHuge = kHugePageBytes;

class KeptBlocksTest : public testing::Test {
 protected:
  void SetUp() override {
    release_kept_blocks();
    void* const probe = take_block(kHuge);
    if (probe == nullptr) GTEST_SKIP() << "no mapped blocks on this system";
    give_back_block(probe, kHuge);
    release_kept_blocks();
  }
  void TearDown() override { release_kept_blocks(); }
};

TEST_F(KeptBlocksTest, GivesBackTheBestFitCutToSize) {
  char* const small = static_cast<char*>(take_block(2 * kHuge));
  char* const large = static_cast<char*>(take_block(4 * kHuge));
  ASSERT_NE(small, nullptr);
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(small) % kHuge, 0u);
  std::memset(small, 1, 2 * kHuge);
  give_back_block(large, 4 * kHuge);
  give_back_block(small, 2 * kHuge);
  EXPECT_EQ(kept_block_bytes(), 6 * kHuge);

  // The smallest that holds the size, not the first or the last given back; the rest of a
  // larger one stays kept for the next taker.
  EXPECT_EQ(take_block(kHuge), small);
  EXPECT_EQ(kept_block_bytes(), 5 * kHuge);
  char* const again = static_cast<char*>(take_block(3 * kHuge));
  EXPECT_EQ(again, large);
  EXPECT_EQ(kept_block_bytes(), 2 * kHuge);
  std::memset(again, 2, 3 * kHuge);  // the whole size taken is writable
  char* const rests[] = {static_cast<char*>(take_block(kHuge)),
                         static_cast<char*>(take_block(kHuge)),
                         static_cast<char*>(take_block(kHuge))};
  EXPECT_EQ(std::set<char*>(rests, rests + 2),
            (std::set<char*>{small + kHuge, large + 3 * kHuge}));
  EXPECT_EQ(kept_block_bytes(), 0u);
  for (char* rest : rests) std::memset(rest, 3, kHuge);
  EXPECT_NE(rests[2], nullptr);
  give_back_block(small, kHuge);
  give_back_block(again, 3 * kHuge);
  for (char* rest : rests) give_back_block(rest, kHuge);
  EXPECT_EQ(kept_block_bytes(), 7 * kHuge);
}

TEST_F(KeptBlocksTest, KeepsTheLastFreedUpToTheLimit) {
  std::vector<char*> blocks;
  const size_t count = kKeptBlockBytes / kHuge + 3;
  for (size_t i = 0; i < count; ++i) blocks.push_back(static_cast<char*>(take_block(kHuge)));
  for (char* block : blocks) give_back_block(block, kHuge);
  // All of them while they are recent, none yet marked free for the kernel; then the lasting
  // share, all marked.
  EXPECT_EQ(trim_kept_blocks(std::chrono::steady_clock::duration::zero()), count * kHuge);
  EXPECT_EQ(unmarked_block_bytes(), count * kHuge);
  EXPECT_EQ(trim_kept_blocks(kRecentBlockTime), kKeptBlockBytes);
  EXPECT_EQ(unmarked_block_bytes(), 0u);
  // The first three given back went; the last one is among those kept.
  std::vector<char*> taken;
  bool last_kept = false;
  for (size_t i = 0; i < kKeptBlockBytes / kHuge; ++i) {
    taken.push_back(static_cast<char*>(take_block(kHuge)));
    last_kept = last_kept || taken.back() == blocks.back();
  }
  EXPECT_TRUE(last_kept);
  EXPECT_EQ(kept_block_bytes(), 0u);
  for (char* block : taken) give_back_block(block, kHuge);

  // A block larger than the lasting share is kept while recent, and pushes out none of the
  // others; as they age, the oldest go first, down to the lasting share: here every one, since
  // the last alone is more.
  char* const huge = static_cast<char*>(take_block(kKeptBlockBytes + kHuge));
  ASSERT_NE(huge, nullptr);
  give_back_block(huge, kKeptBlockBytes + kHuge);
  EXPECT_EQ(kept_block_bytes(), 2 * kKeptBlockBytes + kHuge);
  EXPECT_EQ(take_block(kKeptBlockBytes + kHuge), huge);
  give_back_block(huge, kKeptBlockBytes + kHuge);
  EXPECT_EQ(trim_kept_blocks(kRecentBlockTime), 0u);
}

// A size that no kept block holds alone is made of several when together they hold it: their
// pages moved, not cleared (fresh pages read as zero), newest first, the last one cut to size.
// A size larger than all of them together is mapped afresh and leaves them kept.
TEST_F(KeptBlocksTest, GathersBlocksTooSmallAlone) {
  const auto filled = [](size_t pages, char byte) {
    char* const block = static_cast<char*>(take_block(pages * kHuge));
    std::memset(block, byte, pages * kHuge);
    return block;
  };
  // Each page of `block` begins and ends with the byte of `bytes` at its index.
  const auto pages_hold = [](const char* block, std::string_view bytes) {
    for (size_t page = 0; page < bytes.size(); ++page) {
      const char* const at = block + page * kHuge;
      if (at[0] != bytes[page] || at[kHuge - 1] != bytes[page]) return false;
    }
    return true;
  };
  char* const older = filled(2, 'a');
  char* const newer = filled(2, 'b');
  give_back_block(older, 2 * kHuge);
  give_back_block(newer, 2 * kHuge);

  char* const three = static_cast<char*>(take_block(3 * kHuge));
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(three) % kHuge, 0u);
  EXPECT_TRUE(pages_hold(three, "bba"));
  EXPECT_EQ(kept_block_bytes(), kHuge);

  std::memset(three, 'c', 3 * kHuge);
  give_back_block(three, 3 * kHuge);
  char* const five = static_cast<char*>(take_block(5 * kHuge));
  ASSERT_NE(five, nullptr);
  EXPECT_TRUE(pages_hold(five, std::string_view("\0\0\0\0\0", 5)));
  EXPECT_EQ(kept_block_bytes(), 4 * kHuge);
  char* const four = static_cast<char*>(take_block(4 * kHuge));
  ASSERT_NE(four, nullptr);
  EXPECT_TRUE(pages_hold(four, "ccca"));
  EXPECT_EQ(kept_block_bytes(), 0u);
  std::memset(four, 'd', 4 * kHuge);  // the whole size is writable
  give_back_block(four, 4 * kHuge);
  give_back_block(five, 5 * kHuge);
  EXPECT_EQ(kept_block_bytes(), 9 * kHuge);
}

// Lists from kKeptListBytes up lie in kept blocks of whole huge pages, and a list of the same
// size takes the same block again; smaller ones come from the heap and leave the blocks alone.
TEST_F(KeptBlocksTest, LargeListsLieInKeptBlocks) {
  using List = std::vector<char, KeptBlockAllocator<char>>;
  const struct {
    size_t size;
    size_t kept;
  } cases[] = {
      {kKeptListBytes - 1, 0},
      {kKeptListBytes, kKeptListBytes},
      {kKeptListBytes + 1, kKeptListBytes + kHuge},
  };
  for (const auto& c : cases) {
    release_kept_blocks();
    const char* first = nullptr;
    {
      List list(c.size, 'x');
      first = list.data();
    }
    EXPECT_EQ(kept_block_bytes(), c.kept) << c.size;
    if (c.kept == 0) continue;
    List again(c.size);
    EXPECT_EQ(again.data(), first) << c.size;
    EXPECT_EQ(kept_block_bytes(), 0u) << c.size;
  }
}

// Without any call, the blocks beyond the lasting share go once they are no longer recent, and
// the others are marked free, in this process and in a child forked after its trimming thread
// started, which starts its own. A block written after it was taken again keeps its bytes.
TEST_F(KeptBlocksTest, TrimsToTheLastingShareAsBlocksAge) {
  const auto beyond_share_then_wait = [] {
    std::vector<void*> blocks;
    for (size_t i = 0; i < kKeptBlockBytes / kHuge + 2; ++i) blocks.push_back(take_block(kHuge));
    for (void* block : blocks) give_back_block(block, kHuge);
    const bool kept_beyond = kept_block_bytes() > kKeptBlockBytes;
    const bool unmarked = unmarked_block_bytes() == kept_block_bytes();
    for (int waited = 0; waited < 200 && (kept_block_bytes() > kKeptBlockBytes ||
                                          unmarked_block_bytes() != 0);
         ++waited) {
      std::this_thread::sleep_for(kRecentBlockTime / 20);
    }
    auto* const again = static_cast<char*>(take_block(kHuge));
    std::memset(again, 7, kHuge);
    const bool kept_bytes = again[0] == 7 && again[kHuge - 1] == 7;
    give_back_block(again, kHuge);
    return kept_beyond && unmarked && kept_bytes &&
           kept_block_bytes() == kKeptBlockBytes;
  };
  // ThreadSanitizer refuses to start a thread in a child forked from a process with threads.
#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
  std::vector<void*> started;
  for (size_t i = 0; i < kKeptBlockBytes / kHuge + 1; ++i) started.push_back(take_block(kHuge));
  for (void* block : started) give_back_block(block, kHuge);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(beyond_share_then_wait() ? 0 : 1);
  EXPECT_TRUE(beyond_share_then_wait());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#else
  EXPECT_TRUE(beyond_share_then_wait());
#endif
}

#if defined(__linux__)
// The blocks' lock is taken around a fork: a child forked while another thread held it would
// otherwise wait for it forever.
TEST_F(KeptBlocksTest, ForkedChildTakesBlocksWhileOthersDid) {
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) give_back_block(take_block(kHuge), kHuge);
  });
  for (int i = 0; i < 100; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      void* const block = take_block(kHuge);
      // Giving a block back starts the trimming thread, and ThreadSanitizer refuses to start a
      // thread in a child forked from a process with threads.
#if !defined(__SANITIZE_THREAD__)
      if (block != nullptr) give_back_block(block, kHuge);
#endif
      _exit(block != nullptr ? 0 : 1);
    }
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited < 10000 && done == 0; ++waited) {
      done = waitpid(child, &status, WNOHANG);
      if (done == 0) usleep(1000);
    }
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    ASSERT_NE(done, 0) << "the child forked in round " << i << " hung";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  churn.join();
}
#endif

}  // namespace
}  // namespace corvina
