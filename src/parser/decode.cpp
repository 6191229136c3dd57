#include "decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// A byte shuffle (SSSE3) widens words that mix ASCII and Cyrillic letters. It is chosen at run
// time, so the library still runs on x86-64 processors without it.
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#define CORVINA_HAS_SHUFFLE_PATH 1
#include <immintrin.h>
#include <tmmintrin.h>
#endif

namespace corvina {
namespace {

constexpr std::string_view kMarker = "1CClientBankExchange";
constexpr uint64_t kHighBits = 0x8080808080808080ull;
// Only this much of the text decides whether it is plausible, whatever the input size.
constexpr size_t kPlausibilityWindow = 20480;
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

uint64_t load8(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

unsigned char byte_at(std::string_view text, size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

// Up to the first LF, without one CR directly before it; the whole text if there is no LF.
std::string_view first_line(std::string_view text) {
  const void* lf = std::memchr(text.data(), '\n', text.size());
  if (lf == nullptr) return text;
  std::string_view line = text.substr(0, static_cast<const char*>(lf) - text.data());
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Length of the well-formed multi-byte sequence at text[pos] (lead byte >= 0x80), or 0. The
// second byte's range is what excludes overlongs (E0, F0), surrogates (ED) and values above
// U+10FFFF (F4).
size_t utf8_sequence_length(std::string_view text, size_t pos) {
  const unsigned char lead = byte_at(text, pos);
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  const unsigned char second = byte_at(text, pos + 1);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte_at(text, pos + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Appends the UTF-8 form of c (a scalar value) at out; returns the end.
char* put_utf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
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
#if defined(__SSE2__)
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

#if defined(__SSE2__)
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
#if defined(__SSE2__)
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

#if defined(CORVINA_HAS_SHUFFLE_PATH)
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
__attribute__((target("ssse3"))) char* decode_cp1251_slice_shuffled(const char* in, size_t n,
                                                                     char* out) {
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
#if defined(__linux__)
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
#if defined(CORVINA_HAS_SHUFFLE_PATH)
  if (__builtin_cpu_supports("ssse3")) return decode_cp1251_slice_shuffled;
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

// WHATWG UTF-16LE/BE: a lead surrogate must be followed by a trail surrogate, a trail surrogate
// must follow a lead, and an odd final byte is an error. Any error means "not a statement", so
// the decoder stops instead of writing U+FFFD. A unit takes at most 3 bytes and a surrogate pair
// (two units) 4, so a slice of n input bytes writes at most 3n/2.
Result<std::string, Done> decode_utf16(std::string_view bytes, bool big_endian) {
  if (bytes.size() % 2 != 0) return fail(Done{});
  const auto unit_at = [&](size_t pos) -> char32_t {
    const unsigned char first = byte_at(bytes, pos);
    const unsigned char second = byte_at(bytes, pos + 1);
    return big_endian ? (first << 8 | second) : (second << 8 | first);
  };
  std::string out;
  out.reserve(bytes.size() / 2 * 3 + 4);
  size_t pos = 0;
  while (pos < bytes.size()) {
    // Slices hold whole units; a pair split across slices is finished in the first one, hence
    // the extra room for one more character.
    const size_t slice = std::min(kSlice, bytes.size() - pos);
    const size_t start = out.size();
    out.resize(start + slice / 2 * 3 + 4);
    char* const begin = out.data() + start;
    char* dst = begin;
    const size_t end = pos + slice;
    while (pos < end) {
      char32_t c = unit_at(pos);
      pos += 2;
      if (c >= 0xD800 && c <= 0xDFFF) {
        if (c >= 0xDC00 || pos == bytes.size()) return fail(Done{});
        const char32_t trail = unit_at(pos);
        if (trail < 0xDC00 || trail > 0xDFFF) return fail(Done{});
        pos += 2;
        c = 0x10000 + ((c - 0xD800) << 10) + (trail - 0xDC00);
      }
      dst = put_utf8(dst, c);
    }
    out.resize(start + static_cast<size_t>(dst - begin));
  }
  return out;
}

// Whether a character is one a statement is made of, judged from well-formed UTF-8 at pos;
// advances pos past the character. Everything at or above U+0400 counts, which is every 3- and
// 4-byte sequence and the 2-byte ones from lead byte 0xD0 on, so only the lead byte matters.
bool read_plausible(std::string_view text, size_t& pos) {
  const unsigned char lead = byte_at(text, pos);
  if (lead < 0x80) {
    ++pos;
    return (lead >= 0x20 && lead <= 0x7E) || lead == 0x09 || lead == 0x0A || lead == 0x0C ||
           lead == 0x0D;
  }
  if (lead < 0xE0) {
    pos += 2;
    return lead >= 0xD0;
  }
  pos += lead < 0xF0 ? 3 : 4;
  return true;
}

bool is_plausible(std::string_view text) {
  size_t pos = 0;
  size_t examined = 0;
  size_t plausible = 0;
  while (pos < text.size() && examined < kPlausibilityWindow) {
    plausible += read_plausible(text, pos);
    ++examined;
  }
  if (examined == 0) return false;
  return plausible * 100 / examined > 95;
}

}  // namespace

namespace {

// Sequence by sequence from pos, which is on a character boundary, to at least stop (the last
// sequence may reach past it, which leaves pos on a boundary again). False on a fault.
bool check_sequences(std::string_view bytes, size_t& pos, size_t stop) {
  while (pos < stop) {
    if (byte_at(bytes, pos) < 0x80) {
      ++pos;
      continue;
    }
    const size_t length = utf8_sequence_length(bytes, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

// What the fast loops below leave: done, a fault, or a block they cannot judge (longer
// sequences or bad bytes) at pos, for check_sequences.
enum class FastCheck : uint8_t { Done, Fault, Stopped };

// Sixteen bytes at a time while they hold only ASCII and two-byte sequences (all of a
// statement's Cyrillic): then the text is well-formed exactly when every continuation byte
// follows a lead byte and every lead byte precedes one. A lead in the last byte carries over:
// the block after it starts on that lead.
#if defined(__SSE2__)
FastCheck check_two_byte_blocks(std::string_view bytes, size_t& pos) {
  const size_t size = bytes.size();
  const __m128i below_c0 = _mm_set1_epi8(-64);
  const __m128i above_c1 = _mm_set1_epi8(-63);
  const __m128i below_e0 = _mm_set1_epi8(-32);
  while (size - pos >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + pos));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (high == 0) {
      pos += 16;
      continue;
    }
    // Signed compares: continuation bytes 0x80-0xBF are below -64, two-byte leads
    // 0xC2-0xDF lie between -63 and -32 (exclusive).
    const unsigned continuation =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_c0)));
    const unsigned lead = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpgt_epi8(v, above_c1), _mm_cmplt_epi8(v, below_e0))));
    if ((continuation | lead) != high) return FastCheck::Stopped;
    if (continuation != ((lead << 1) & 0xFFFF)) return FastCheck::Fault;
    pos += 16 - (lead >> 15);
  }
  return FastCheck::Done;
}
#endif

#if defined(CORVINA_HAS_SHUFFLE_PATH)
// The same test on 32 bytes at a time, where the processor has AVX2 (chosen at run time).
__attribute__((target("avx2"))) FastCheck check_two_byte_blocks_wide(std::string_view bytes,
                                                                     size_t& pos) {
  const size_t size = bytes.size();
  const __m256i below_c0 = _mm256_set1_epi8(-64);
  const __m256i above_c1 = _mm256_set1_epi8(-63);
  const __m256i below_e0 = _mm256_set1_epi8(-32);
  while (size - pos >= 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes.data() + pos));
    const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(v));
    if (high == 0) {
      pos += 32;
      continue;
    }
    const auto continuation =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below_c0, v)));
    const auto lead = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpgt_epi8(v, above_c1), _mm256_cmpgt_epi8(below_e0, v))));
    if ((continuation | lead) != high) return FastCheck::Stopped;
    if (continuation != (lead << 1)) return FastCheck::Fault;
    pos += 32 - (lead >> 31);
  }
  return FastCheck::Done;
}
#endif

using FastChecker = FastCheck (*)(std::string_view, size_t&);

FastChecker fast_checker() {
#if defined(CORVINA_HAS_SHUFFLE_PATH)
  if (__builtin_cpu_supports("avx2")) return check_two_byte_blocks_wide;
#endif
#if defined(__SSE2__)
  return check_two_byte_blocks;
#else
  return nullptr;
#endif
}

}  // namespace

bool is_well_formed_utf8(std::string_view bytes) {
  static const FastChecker fast = fast_checker();
  size_t pos = 0;
  const size_t size = bytes.size();
  while (pos < size) {
    // pos is on a character boundary here. The fast loop runs until a block it cannot judge;
    // that block (or the short rest) is checked sequence by sequence.
    if (fast != nullptr) {
      const FastCheck checked = fast(bytes, pos);
      if (checked == FastCheck::Fault) return false;
    }
    if (!check_sequences(bytes, pos, std::min(size, pos + 32))) return false;
  }
  return true;
}

std::string decode_cp1251(std::string_view bytes) { return decode_cp1251_whole(bytes); }

size_t cp1251_decoded_room(std::string_view bytes) {
  return cp1251_output_bound(bytes) + kCp1251StoreSlack;
}

char* decode_cp1251_into(std::string_view bytes, char* out) {
  static const SliceDecoder decode_slice = cp1251_slice_decoder();
  return decode_slice(bytes.data(), bytes.size(), out);
}

void decode_deferred(DecodedText& decoded) {
  if (!decoded.deferred) return;
  decoded.owned = decode_cp1251_whole(decoded.borrowed);
  decoded.borrowed = std::string_view();
  decoded.deferred = false;
}

Result<DecodedText, ErrorRecord> decode_input(std::string_view bytes, Cp1251Decoding cp1251) {
  if (bytes.empty()) return fail(ErrorRecord{EmptyInput{}});
  const auto not_statement = [] { return fail(ErrorRecord{NotStatement{}}); };

  if (is_well_formed_utf8(bytes)) {
    // A byte-order mark is not skipped here: it makes the first line differ from the marker.
    if (first_line(bytes) != kMarker) return not_statement();
    DecodedText decoded;
    decoded.encoding = Encoding::Utf8;
    decoded.in_place = true;
    decoded.borrowed = bytes;
    return decoded;
  }

  DecodedText decoded;
  decoded.encoding = Encoding::Cp1251;
  decoded.in_place = false;
  const auto starts_with = [&](std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
  };
  if (starts_with("\xEF\xBB\xBF")) {
    // The mark is itself well-formed and ends on a character boundary, so the fault that made
    // the whole input ill-formed lies in the rest: the UTF-8 decoder is bound to meet it.
    return not_statement();
  }
  if (starts_with("\xFF\xFE") || starts_with("\xFE\xFF")) {
    auto text = decode_utf16(bytes.substr(2), bytes[0] == '\xFE');
    if (!text) return not_statement();
    decoded.owned = std::move(text).value();
  } else if (cp1251 == Cp1251Decoding::Deferred) {
    // One character per byte, and the decoded form of a byte is ASCII exactly when the byte is:
    // the first characters and the first line are judged as well from the bytes' own prefix.
    const std::string_view window = bytes.substr(0, kPlausibilityWindow);
    const std::unique_ptr<char[]> head(new char[window.size() * 3 + kCp1251StoreSlack]);
    const char* const end = decode_cp1251_into(window, head.get());
    if (!is_plausible(std::string_view(head.get(), static_cast<size_t>(end - head.get())))) {
      return not_statement();
    }
    if (first_line(bytes) != kMarker) return not_statement();
    decoded.deferred = true;
    decoded.borrowed = bytes;
    return decoded;
  } else {
    decoded.owned = decode_cp1251_whole(bytes);
  }

  if (!is_plausible(decoded.owned)) return not_statement();
  if (first_line(decoded.owned) != kMarker) return not_statement();
  return decoded;
}

}  // namespace corvina
