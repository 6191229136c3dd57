// The arena that holds a statement's document texts: blocks never overlap or move, whatever
// sizes come in whatever order, and room given back is used again.
#include "text_arena.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "huge_pages.h"
#include "kept_blocks.h"
#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

struct Block {
  char* data;
  std::string expected;
};

// Fills every block with its own pattern as it is made, then checks them all at the end: a
// block that overlapped another, or moved, shows the other's bytes.
void expect_blocks_intact(const std::vector<size_t>& sizes, const std::string& name) {
  TextArena arena;
  std::vector<Block> blocks;
  for (size_t i = 0; i < sizes.size(); ++i) {
    char* const data = arena.allocate(sizes[i]);
    std::string pattern(sizes[i], static_cast<char>('a' + i % 26));
    if (!pattern.empty()) std::memcpy(data, pattern.data(), pattern.size());
    blocks.push_back({data, std::move(pattern)});
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(std::string(blocks[i].data, blocks[i].expected.size()), blocks[i].expected)
        << name << ", block " << i;
  }
}

TEST(text_arena_test, blocks_keep_their_bytes) {
  constexpr size_t kChunk = size_t{2} << 20;
  expect_blocks_intact({}, "nothing");
  expect_blocks_intact({0, 0, 5, 0}, "empty blocks among others");
  expect_blocks_intact(std::vector<size_t>(3000, 1000), "many that fill chunks of every size");
  expect_blocks_intact({100, kChunk + 1, 100, 3 * kChunk, 100}, "blocks larger than a chunk");
  expect_blocks_intact({4096, 1, 4095, 8192, 1}, "blocks at the ends of small chunks");
  std::mt19937 random(11);
  std::vector<size_t> sizes;
  for (int i = 0; i < 4000; ++i) sizes.push_back(random() % (random() % 50 == 0 ? 600000 : 700));
  expect_blocks_intact(sizes, "random sizes");
}

TEST(text_arena_test, texts_past_a_released_tail_keep_their_bytes) {
  // The second arena writes into the chunks the first gave back, tails released and all.
  for (int arena_number = 0; arena_number < 2; ++arena_number) {
    TextArena arena;
    std::vector<Block> blocks;
    for (size_t i = 0; i < 6000; ++i) {
      if (i % 700 == 0) arena.release_unused_tail();
      char* const data = arena.allocate(1000 + i % 7);
      blocks.push_back({data, std::string(1000 + i % 7, static_cast<char>('a' + i % 26))});
      std::memcpy(data, blocks.back().expected.data(), blocks.back().expected.size());
    }
    arena.release_unused_tail();
    for (size_t i = 0; i < blocks.size(); ++i) {
      ASSERT_EQ(std::string(blocks[i].data, blocks[i].expected.size()), blocks[i].expected)
          << "arena " << arena_number << ", block " << i;
    }
  }
}

TEST(text_arena_test, room_given_back_is_used_again) {
  // (Sanitizer builds keep a small gap after each block, hence the ranges.)
  TextArena arena;
  char* const first = arena.allocate(300);
  arena.give_back(first, 300, 100);
  char* const next = arena.allocate(10);
  EXPECT_GE(next, first + 100);
  EXPECT_LT(next, first + 300);
  // Only the last block can shrink: an earlier one keeps its size.
  char* const earlier = arena.allocate(50);
  char* const later = arena.allocate(50);
  arena.give_back(earlier, 50, 0);
  EXPECT_GE(arena.allocate(1), later + 50);
}

#if defined(CORVINA_ARENA_POISONS)
// Under AddressSanitizer a block of the arena is guarded as a block of its own would be: a byte
// past its end, or past the room a block gave back, is a fault.
TEST(text_arena_death_test, bytes_past_a_block_are_caught) {
  const auto touch = [](volatile char* byte) { *byte = 'x'; };
  EXPECT_DEATH(
      {
        TextArena arena;
        char* const block = arena.allocate(10);
        arena.allocate(10);
        touch(block + 10);
      },
      "AddressSanitizer");
  EXPECT_DEATH(
      {
        TextArena arena;
        char* const block = arena.allocate(40);
        arena.give_back(block, 40, 8);
        touch(block + 20);
      },
      "AddressSanitizer");
}
#endif

#if defined(CORVINA_KEPT_BLOCKS)
// An arena told it will hold megabytes takes its next chunk whole from the kept blocks, not
// from the heap where its small chunks were faulted in again on every parse.
TEST(text_arena_test, skipping_small_chunks_takes_a_kept_block_next) {
  release_kept_blocks();
  give_back_block(take_block(kHugePageBytes), kHugePageBytes);
  ASSERT_EQ(kept_block_bytes(), kHugePageBytes);
  TextArena arena;
  arena.allocate(100);
  arena.skip_small_chunks();
  EXPECT_EQ(kept_block_bytes(), kHugePageBytes);
  arena.allocate(size_t{8} << 10);  // past the first chunk
  EXPECT_EQ(kept_block_bytes(), 0u);
}
#endif

// Documents share their statement's arena: one taken out of the statement keeps its texts
// after the statement and every other document are gone.
TEST(text_arena_test, a_document_outlives_its_statement) {
  const std::string utf8 = std::string("1CClientBankExchange\r\n") +
                           test_support::kPaymentDocument + test_support::kPaymentDocument +
                           "КонецФайла\r\n";
  for (const std::string& bytes : {utf8, test_support::to_cp1251(utf8)}) {
    Document kept;
    {
      auto statement = parse_statement(bytes, {});
      ASSERT_TRUE(statement);
      ASSERT_EQ(statement.value().documents.size(), 2u);
      kept = std::move(statement.value().documents[1]);
    }
    EXPECT_EQ(kept.text(kept.doc_type), "Платежное поручение");
    EXPECT_EQ(kept.text(kept.payee_bank1), "Банк получателя");
  }
}

}  // namespace
}  // namespace corvina
