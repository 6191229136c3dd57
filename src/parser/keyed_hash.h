// A hash that an input cannot aim at, for the tables whose keys come from the input.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvina {

// The secret key of keyed_hash. Collisions can only be computed offline for a known key, so
// every table keyed by input texts hashes under a key the input's author cannot know.
struct HashSeed {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// This process's key, read from the system's random source on first use. Safe to call from
// any thread; every call returns the same key.
const HashSeed& process_hash_seed();

// SipHash-1-3 (the keyed hash CPython uses for str): one multiplication-free round per eight
// bytes, fast on the short keys of a statement, and without the seed-independent collisions of
// multiply-and-shift hashes.
uint64_t keyed_hash(std::string_view bytes, const HashSeed& seed);

}  // namespace corvina
