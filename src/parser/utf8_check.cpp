#include "utf8_check.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "cpu_features.h"
#include "simd.h"
#include "utf8.h"

namespace corvina {
namespace {

unsigned char byte_at(std::string_view text, size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

// Length of the well-formed multi-byte sequence at text[pos] (lead byte >= 0x80), or 0: the
// parser's one UTF-8 reader decides, and it reads a malformed sequence as one byte.
size_t utf8_sequence_length(std::string_view text, size_t pos) {
  const CodePoint code = read_code_point(text, pos);
  return code.length > 1 ? code.length : 0;
}

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

// What the block loop below leaves: done, a fault, or a block it cannot judge (longer
// sequences or bad bytes) at pos, for check_sequences.
enum class FastCheck : uint8_t { Done, Fault, Stopped };

// What is checked sequence by sequence after the block loop stops: a stretch from a byte the
// loop cannot judge (a three- or four-byte sequence, like the "№" of many payment purposes, or
// a bad byte), or the short rest.
constexpr size_t kCheckStretch = 16;

#if defined(CORVINA_SSE2)
// Sixteen bytes of SSE2, which every x86-64 processor has.
struct Lanes16 {
  using Vector = __m128i;
  using Mask = uint32_t;
  static constexpr size_t kWidth = 16;
  static Vector load(const char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  }
  static Vector splat(int8_t byte) { return _mm_set1_epi8(byte); }
  static Vector below(Vector a, Vector b) { return _mm_cmplt_epi8(a, b); }
  static Vector both(Vector a, Vector b) { return _mm_and_si128(a, b); }
  static Mask high_bits(Vector v) { return static_cast<Mask>(_mm_movemask_epi8(v)); }
};

namespace sse2 {
#include "utf8_blocks.inl"
}  // namespace sse2
#endif

#if defined(CORVINA_X86_DISPATCH)
CORVINA_BEGIN_AVX2
// Thirty-two bytes of AVX2, where the processor has it (chosen at run time).
struct Lanes32 {
  using Vector = __m256i;
  using Mask = uint32_t;
  static constexpr size_t kWidth = 32;
  static Vector load(const char* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  }
  static Vector splat(int8_t byte) { return _mm256_set1_epi8(byte); }
  static Vector below(Vector a, Vector b) { return _mm256_cmpgt_epi8(b, a); }
  static Vector both(Vector a, Vector b) { return _mm256_and_si256(a, b); }
  static Mask high_bits(Vector v) { return static_cast<Mask>(_mm256_movemask_epi8(v)); }
};

namespace avx2 {
#include "utf8_blocks.inl"
}  // namespace avx2
CORVINA_END_AVX2
#endif

using FastChecker = FastCheck (*)(std::string_view, size_t&);

FastChecker fast_checker() {
#if defined(CORVINA_X86_DISPATCH)
  if (cpu_has_avx2()) return avx2::check_two_byte_blocks<Lanes32>;
#endif
#if defined(CORVINA_SSE2)
  return sse2::check_two_byte_blocks<Lanes16>;
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
    // pos is on a character boundary here. The fast loop runs until a byte it cannot judge; a
    // stretch from there (or the short rest) is checked sequence by sequence.
    if (fast != nullptr) {
      const FastCheck checked = fast(bytes, pos);
      if (checked == FastCheck::Fault) return false;
    }
    if (!check_sequences(bytes, pos, std::min(size, pos + kCheckStretch))) return false;
  }
  return true;
}

}  // namespace corvina
