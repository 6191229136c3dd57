#include "cp1251_decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "cpu_features.h"
#include "simd.h"

// Prefaulting a fresh buffer needs madvise; without it the pages fault in as they are written.
#if !defined(CORVINA_NO_MMAP) && defined(__linux__) && __has_include(<sys/mman.h>)
#define CORVINA_PREFAULT 1
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace corvina {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;
// Decoded text is written in slices of this many input bytes, each given room for its worst
// case: the room stays in cache instead of the whole worst-case buffer being swept.
constexpr size_t kSlice = 4096;

struct Utf8Form {
  uint8_t length;
  char bytes[3];
};

constexpr Utf8Form kCp1251[256] = {
#include "cp1251_table.inc"
};

// The same table as one word per byte: the UTF-8 bytes in the low three bytes (in memory
// order on a little-endian machine) and the length in the top byte, so a byte decodes with one
// load, one four-byte store and one add, and no branch.
constexpr std::array<uint32_t, 256> pack_cp1251() {
  std::array<uint32_t, 256> packed{};
  for (size_t i = 0; i < 256; ++i) {
    const Utf8Form& form = kCp1251[i];
    packed[i] = static_cast<uint32_t>(static_cast<unsigned char>(form.bytes[0])) |
                static_cast<uint32_t>(static_cast<unsigned char>(form.bytes[1])) << 8 |
                static_cast<uint32_t>(static_cast<unsigned char>(form.bytes[2])) << 16 |
                static_cast<uint32_t>(form.length) << 24;
  }
  return packed;
}
constexpr std::array<uint32_t, 256> kCp1251Packed = pack_cp1251();

// A word of eight bytes in memory order. Only tested against masks that repeat in every byte
// (is any high bit set; is every byte a letter), which read the same in either byte order.
uint64_t load8(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

unsigned char byte_at(std::string_view text, size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

char* put_cp1251(char* out, unsigned char byte) {
  if constexpr (std::endian::native == std::endian::little) {
    const uint32_t packed = kCp1251Packed[byte];
    std::memcpy(out, &packed, 4);
    return out + (packed >> 24);
  } else {
    const Utf8Form& form = kCp1251[byte];
    std::memcpy(out, form.bytes, 3);
    return out + form.length;
  }
}

// Room for the UTF-8 form of bytes: one byte each, one more for every byte at or above 0x80, and
// one more again for the bytes whose form may take three (all of them lie in 0x80-0x9F, and
// 0xB9 "№"). Exact for letters, digits and Cyrillic, a little over for typographic marks; the
// decoded text of a 100 MB statement so costs what it holds instead of the 3x worst case.
size_t cp1251_output_bound(std::string_view bytes) {
  const size_t size = bytes.size();
  size_t extra = 0;
  size_t pos = 0;
#if defined(CORVINA_SSE2)
  const __m128i below_a0 = _mm_set1_epi8(static_cast<char>(0xA0));
  const __m128i numero = _mm_set1_epi8(static_cast<char>(0xB9));
  const __m128i zero = _mm_setzero_si128();
  // Per-byte counters (a match is -1, so subtracting counts it) summed every 127 blocks, before
  // a counter that gains up to 2 a block can overflow.
  while (size - pos >= 16) {
    __m128i counts = zero;
    for (size_t block = 0; block < 127 && size - pos >= 16; ++block, pos += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + pos));
      // Signed compares: bytes from 0x80 are negative, and 0x80-0x9F are those below -96.
      const __m128i high = _mm_cmplt_epi8(v, zero);
      const __m128i wide = _mm_or_si128(_mm_cmplt_epi8(v, below_a0), _mm_cmpeq_epi8(v, numero));
      counts = _mm_sub_epi8(_mm_sub_epi8(counts, high), wide);
    }
    const __m128i sums = _mm_sad_epu8(counts, zero);
    extra += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; pos < size; ++pos) {
    const unsigned char byte = byte_at(bytes, pos);
    extra += (byte >= 0x80) + ((byte >= 0x80 && byte < 0xA0) || byte == 0xB9);
  }
  return size + extra;
}

#if defined(CORVINA_SSE2)
// Eight bytes that are all Cyrillic letters (0xC0-0xFF, U+0410-U+044F) as sixteen bytes of
// UTF-8: D0 90-BF for 0xC0-0xEF, D1 80-8F for 0xF0-0xFF. The second byte is
// 0x80 | ((byte + 0x50) & 0x3F) for both halves, so only the lead depends on the half.
char* put_cyrillic_letters(char* out, const char* in) {
  const __m128i letters = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
  const __m128i second = _mm_or_si128(
      _mm_and_si128(_mm_add_epi8(letters, _mm_set1_epi8(0x50)), _mm_set1_epi8(0x3F)),
      _mm_set1_epi8(static_cast<char>(0x80)));
  // All bytes are negative as signed; 0xF0 and above are those above -17.
  const __m128i upper_half = _mm_cmpgt_epi8(letters, _mm_set1_epi8(-17));
  const __m128i lead = _mm_sub_epi8(_mm_set1_epi8(static_cast<char>(0xD0)), upper_half);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(lead, second));
  return out + 16;
}
#endif

// Decodes n bytes at in to out; returns the end of the output. Eight bytes at a time: copied
// whole when all ASCII, widened together when all Cyrillic letters (the bulk of keys and
// names), else each through the table. Splitting mixed words into runs was tried: on real text
// the runs are too short to pay for finding them.
char* decode_cp1251_slice(const char* in, size_t n, char* out) {
  const std::string_view bytes(in, n);
  size_t pos = 0;
  while (n - pos >= 8) {
    const uint64_t word = load8(in + pos);
    if ((word & kHighBits) == 0) {
      std::memcpy(out, &word, 8);
      out += 8;
      pos += 8;
      continue;
    }
#if defined(CORVINA_SSE2)
    if ((word & (word << 1) & kHighBits) == kHighBits) {
      out = put_cyrillic_letters(out, in + pos);
      pos += 8;
      continue;
    }
#endif
    for (size_t i = 0; i < 8; ++i) out = put_cp1251(out, byte_at(bytes, pos + i));
    pos += 8;
  }
  while (pos < n) out = put_cp1251(out, byte_at(bytes, pos++));
  return out;
}

#if defined(CORVINA_X86_DISPATCH)
// For each set of letters among eight bytes (bit i: byte i is a letter), the shuffle that keeps
// one byte of each ASCII pair and both of each letter pair, and the length that results.
struct MixedShuffles {
  alignas(16) uint8_t masks[256][16];
  uint8_t lengths[256];
};

constexpr MixedShuffles make_mixed_shuffles() {
  MixedShuffles table{};
  for (unsigned letters = 0; letters < 256; ++letters) {
    unsigned length = 0;
    for (unsigned i = 0; i < 8; ++i) {
      table.masks[letters][length++] = static_cast<uint8_t>(2 * i);
      if ((letters >> i) & 1) table.masks[letters][length++] = static_cast<uint8_t>(2 * i + 1);
    }
    for (unsigned j = length; j < 16; ++j) table.masks[letters][j] = 0x80;  // zero
    table.lengths[letters] = static_cast<uint8_t>(length);
  }
  return table;
}

constexpr MixedShuffles kMixedShuffles = make_mixed_shuffles();

// decode_cp1251_slice, with words of ASCII and letters (no byte in 0x80-0xBF) widened in one
// shuffle: each byte becomes a pair (itself and a spare for ASCII, lead and second for a
// letter) and the shuffle drops the spares. Writes up to eight bytes past its output.
CORVINA_TARGET("ssse3") char* decode_cp1251_slice_shuffled(const char* in, size_t n, char* out) {
  const std::string_view bytes(in, n);
  const __m128i zero = _mm_setzero_si128();
  size_t pos = 0;
  while (n - pos >= 8) {
    const uint64_t word = load8(in + pos);
    if ((word & kHighBits) == 0) {
      std::memcpy(out, &word, 8);
      out += 8;
      pos += 8;
      continue;
    }
    const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + pos));
    // Signed compares: 0x80-0xBF are below -64; letters are then all the negative bytes.
    const unsigned marks =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(x, _mm_set1_epi8(-64)))) & 0xFF;
    if (marks != 0) {
      for (size_t i = 0; i < 8; ++i) out = put_cp1251(out, byte_at(bytes, pos + i));
      pos += 8;
      continue;
    }
    const __m128i is_letter = _mm_cmplt_epi8(x, zero);
    const unsigned letters = static_cast<unsigned>(_mm_movemask_epi8(is_letter)) & 0xFF;
    const __m128i second = _mm_or_si128(
        _mm_and_si128(_mm_add_epi8(x, _mm_set1_epi8(0x50)), _mm_set1_epi8(0x3F)),
        _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i lead = _mm_sub_epi8(_mm_set1_epi8(static_cast<char>(0xD0)),
                                      _mm_cmpgt_epi8(x, _mm_set1_epi8(-17)));
    const __m128i first =
        _mm_or_si128(_mm_and_si128(is_letter, lead), _mm_andnot_si128(is_letter, x));
    const __m128i pairs = _mm_unpacklo_epi8(first, second);
    const __m128i mask =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kMixedShuffles.masks[letters]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(pairs, mask));
    out += kMixedShuffles.lengths[letters];
    pos += 8;
  }
  while (pos < n) out = put_cp1251(out, byte_at(bytes, pos++));
  return out;
}
#endif

// A fresh buffer of many megabytes takes one page fault per page as the decoder first writes it,
// and on a 100 MB statement those faults cost about as much as the decoding itself. Asking the
// kernel to map the pages in one call is far cheaper; the bound is close to the decoded size, so
// little is mapped that is not written. Where the call is unknown it fails and nothing changes.
void prefault(char* data, size_t size) {
#if defined(CORVINA_PREFAULT)
  constexpr size_t kWorthIt = size_t{1} << 20;
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14; older headers lack it
  if (size < kWorthIt) return;
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) {
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
  }
#else
  (void)data;
  (void)size;
#endif
}

// Windows-1251 maps every byte, so this cannot fail. Each slice is decoded into a buffer on the
// stack, sized for its worst case, and appended: the output is reserved once from the bound, and
// nothing is zero-filled or written twice outside the cache.
using SliceDecoder = char* (*)(const char*, size_t, char*);

SliceDecoder cp1251_slice_decoder() {
#if defined(CORVINA_X86_DISPATCH)
  if (cpu_has_ssse3()) return decode_cp1251_slice_shuffled;
#endif
  return decode_cp1251_slice;
}

std::string decode_cp1251_whole(std::string_view bytes) {
  // Whole-word stores run past the last character: a table entry by up to three bytes, a
  // shuffled word by up to eight.
  static_assert(kCp1251StoreSlack >= 8);
  char buffer[3 * kSlice + kCp1251StoreSlack];
  const SliceDecoder decode_slice = cp1251_slice_decoder();
  std::string out;
  out.reserve(cp1251_output_bound(bytes));
  prefault(out.data(), out.capacity());
  for (size_t pos = 0; pos < bytes.size();) {
    const size_t slice = std::min(kSlice, bytes.size() - pos);
    const char* const end = decode_slice(bytes.data() + pos, slice, buffer);
    out.append(buffer, static_cast<size_t>(end - buffer));
    pos += slice;
  }
  return out;
}

}  // namespace

std::string decode_cp1251(std::string_view bytes) { return decode_cp1251_whole(bytes); }

size_t cp1251_decoded_room(std::string_view bytes) {
  return cp1251_output_bound(bytes) + kCp1251StoreSlack;
}

// The bytes of 80-BF whose characters take three bytes of UTF-8 (№, €, quotes, dashes), one bit
// per byte from 80; every other byte from 80 takes two.
constexpr uint64_t kThreeByteMarks = [] {
  uint64_t marks = 0;
  for (unsigned byte = 0; byte < 256; ++byte) {
    const unsigned length = kCp1251[byte].length;
    const bool known = byte < 0x80 ? length == 1 : (byte >= 0xC0 ? length == 2 : length - 2 <= 1);
    if (!known) throw "a length the sizing does not know";
    if (byte >= 0x80 && length == 3) marks |= uint64_t{1} << (byte - 0x80);
  }
  return marks;
}();

size_t cp1251_decoded_size(std::string_view bytes) {
  // Eight bytes at a time: one byte more for each byte from 80, counted by a multiply (the
  // baseline x86-64 has no popcount instruction, and its library call cost more than the rest),
  // and one more again for each byte of 80-BF marked in kThreeByteMarks, which are rare.
  constexpr uint64_t kHighs = 0x8080808080808080u;
  constexpr uint64_t kLows = 0x0101010101010101u;
  size_t size = bytes.size();
  size_t pos = 0;
  for (; bytes.size() - pos >= 8; pos += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + pos, sizeof word);
    const uint64_t high = word & kHighs;
    size += static_cast<size_t>(((high >> 7) * kLows) >> 56);
    // The bytes of 80-BF, found by their top bit, each byte read back out of the word itself,
    // whatever the machine's byte order.
    for (uint64_t marks = high & ~(word << 1); marks != 0; marks &= marks - 1) {
      const unsigned top = static_cast<unsigned>(std::countr_zero(marks));
      size += (kThreeByteMarks >> ((word >> (top - 7)) & 0x3F)) & 1;
    }
  }
  for (; pos < bytes.size(); ++pos) size += kCp1251[byte_at(bytes, pos)].length - 1u;
  return size;
}

char* decode_cp1251_into(std::string_view bytes, char* out) {
  static const SliceDecoder decode_slice = cp1251_slice_decoder();
  return decode_slice(bytes.data(), bytes.size(), out);
}

}  // namespace corvina
