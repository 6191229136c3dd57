// Copies of short texts without a call into the library.
#pragma once

#include <cstddef>
#include <cstring>

namespace corvina {

// Most texts of a record are short (numbers, codes, accounts): copying them inline with two
// overlapping fixed-size moves beats a call into the library's memcpy for each of them. Reads
// and writes stay within the n bytes of the source and of the destination.
inline void copy_short_text(char* to, const char* from, size_t n) {
  if (n >= 16 && n <= 32) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8 && n < 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

}  // namespace corvina
