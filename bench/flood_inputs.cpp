// Prints texts crafted to collide under the fixed hashes that the parser's tables used before
// their hashes were keyed: flood_bench.py builds statements from them, to show that such input
// costs what random input does.
//
//   corvina_flood_inputs keys COUNT     COUNT printable 8-byte keys, one per line, that all fell
//                                       into one probe run of a section's index
//   corvina_flood_inputs amounts COUNT  COUNT whole amounts, one per line, that all had one hash
//                                       in the de-duplication of an account's intervals
//
// Both hashes were bijections, so the search runs backwards from the wanted hash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

// The inverse of multiplication by an odd constant modulo 2^64 (Newton's iteration).
constexpr uint64_t inverse(uint64_t odd) {
  uint64_t x = odd;
  for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
  return x;
}

uint64_t undo_xorshift(uint64_t value, int shift) {
  uint64_t x = value;
  for (int done = shift; done < 64; done += shift) x = value ^ (x >> shift);
  return x;
}

// The old key hash ran one 8-byte word as h = mix(8, word), h *= M, h ^ (h >> 32) with
// mix(h, w) = x ^ (x >> 29) for x = (h ^ w) * M, and the index took the low bits. Every
// hash ending in 20 zero bits shares slot 0 of every index of up to 2^20 slots.
void print_keys(long count) {
  constexpr uint64_t kInverse = inverse(kMultiplier);
  for (uint64_t high = 1; count > 0; ++high) {
    const uint64_t hash = high << 20;
    uint64_t h = undo_xorshift(hash, 32) * kInverse;
    h = undo_xorshift(h, 29) * kInverse;
    const uint64_t word = h ^ 8;
    char key[9] = {};
    std::memcpy(key, &word, 8);
    bool printable = true;
    for (int i = 0; i < 8 && printable; ++i) {
      printable = key[i] > ' ' && key[i] < 0x7F && key[i] != '=';
    }
    if (!printable) continue;
    std::puts(key);
    --count;
  }
}

// The old amount hash of a whole amount of magnitude high * 2^64 + low was
// L ^ (high + K + (L << 6)) with L = low * M. For any low half of L, choosing its high half bit
// by bit from the bottom makes (C ^ L) - K - (L << 6) fit in 32 bits; that is the high word
// whose amount hashes to C.
void print_amounts(long count) {
  constexpr uint64_t kAdded = 0x632be59bd9b4e019ull;
  constexpr uint64_t kTarget = 0x5eed;
  constexpr uint64_t kInverse = inverse(kMultiplier);
  for (uint64_t low_half = 1; count > 0; ++low_half, --count) {
    uint64_t l = low_half;
    const auto rest = [&] { return (kTarget ^ l) - kAdded - (l << 6); };
    for (int bit = 32; bit < 64; ++bit) {
      if ((rest() >> bit) & 1) l ^= uint64_t{1} << bit;
    }
    const auto high = static_cast<Uint128>(rest());
    const Uint128 magnitude = (high << 64) | (l * kInverse);
    char digits[40];
    char* first = digits + sizeof digits;
    *--first = '\0';
    Uint128 value = magnitude;
    do {
      *--first = static_cast<char>('0' + static_cast<int>(value % 10));
      value /= 10;
    } while (value != 0);
    std::puts(first);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s keys|amounts COUNT\n", argv[0]);
    return 2;
  }
  const long count = std::strtol(argv[2], nullptr, 10);
  if (std::strcmp(argv[1], "keys") == 0) {
    print_keys(count);
  } else if (std::strcmp(argv[1], "amounts") == 0) {
    print_amounts(count);
  } else {
    std::fprintf(stderr, "unknown kind %s\n", argv[1]);
    return 2;
  }
  return 0;
}
