#include "keyed_hash.h"

#include <bit>
#include <chrono>
#include <cstring>
#include <random>

namespace corvina {

namespace {

HashSeed read_random_seed() {
  HashSeed seed;
  // random_device reports a missing random source by throwing; a seed made from the clock and
  // from addresses (moved by address space randomisation) is then still unknown offline, if
  // weaker, and better than refusing to parse.
  try {
    std::random_device source;
    seed.k0 = (uint64_t{source()} << 32) | source();
    seed.k1 = (uint64_t{source()} << 32) | source();
  } catch (...) {
    const auto now =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed.k0 = now ^ reinterpret_cast<uintptr_t>(&seed);
    seed.k1 = std::rotl(now, 32) ^ reinterpret_cast<uintptr_t>(&read_random_seed);
  }
  return seed;
}

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13) ^ v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = std::rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = std::rotl(v1, 17) ^ v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

// SipHash reads its input as little-endian words: on a big-endian machine the bytes are turned
// round, so that a key hashes the same everywhere.
uint64_t load_little_endian(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, 8);
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i) swapped |= ((word >> (8 * i)) & 0xFF) << (8 * (7 - i));
    word = swapped;
  }
  return word;
}

}  // namespace

// The core's only process-wide state. It is written once, before anything reads it (a
// function-local static is initialised under the compiler's thread-safe guard), and never
// again, so parses on any thread all see the same key and none depends on another. A key per
// parse would cost a read of the random source on every call.
const HashSeed& process_hash_seed() {
  static const HashSeed seed = read_random_seed();
  return seed;
}

uint64_t keyed_hash(std::string_view bytes, const HashSeed& seed) {
  SipState state{seed.k0 ^ 0x736f6d6570736575ull, seed.k1 ^ 0x646f72616e646f6dull,
                 seed.k0 ^ 0x6c7967656e657261ull, seed.k1 ^ 0x7465646279746573ull};
  const char* data = bytes.data();
  size_t left = bytes.size();
  for (; left >= 8; data += 8, left -= 8) {
    state.absorb(load_little_endian(data));
  }
  uint64_t last = uint64_t{bytes.size()} << 56;
  for (size_t i = 0; i < left; ++i) {
    last |= uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
  }
  state.absorb(last);
  state.v2 ^= 0xff;
  state.round();
  state.round();
  state.round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

}  // namespace corvina
