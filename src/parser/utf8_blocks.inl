// The block loop of the UTF-8 check, written once for any width of vector. utf8_check.cpp
// includes it once per instruction set, each time inside a region compiled for that set, so the
// intrinsics of the wider lanes inline into the loop. No include guard: that is the point.
//
// A block of 64 bytes holding only ASCII and two-byte sequences (all of a statement's Cyrillic)
// is well-formed exactly when every continuation byte follows a lead byte and every lead byte
// precedes one; a lead in the last byte carries over to the first of the next block. Blocks are
// read at a fixed stride, so that the next loads never wait for this block's masks: a loop that
// stepped back onto a carried lead ran at half the speed. Leaves pos on a character boundary:
// where the text ends or at a byte it cannot judge.
template <typename Lanes>
FastCheck check_two_byte_blocks(std::string_view bytes, size_t& pos) {
  constexpr size_t kCheckBlock = 64;
  constexpr size_t kWidth = Lanes::kWidth;
  static_assert(kCheckBlock % kWidth == 0 && kWidth <= 8 * sizeof(typename Lanes::Mask));
  const size_t size = bytes.size();
  const auto below_c0 = Lanes::splat(-64);
  const auto above_c1 = Lanes::splat(-63);
  const auto below_e0 = Lanes::splat(-32);
  uint64_t carry = 0;
  while (size - pos >= kCheckBlock) {
    uint64_t high = 0;
    uint64_t continuation = 0;
    uint64_t lead = 0;
    for (size_t i = 0; i < kCheckBlock / kWidth; ++i) {
      const auto v = Lanes::load(bytes.data() + pos + i * kWidth);
      const size_t shift = i * kWidth;
      high |= uint64_t{Lanes::high_bits(v)} << shift;
      // Signed compares: continuation bytes 0x80-0xBF are below -64, two-byte leads
      // 0xC2-0xDF lie between -63 and -32 (exclusive).
      continuation |= uint64_t{Lanes::high_bits(Lanes::below(v, below_c0))} << shift;
      lead |= uint64_t{Lanes::high_bits(
                  Lanes::both(Lanes::below(above_c1, v), Lanes::below(v, below_e0)))}
              << shift;
    }
    const uint64_t expected = (lead << 1) | carry;
    if (const uint64_t other = high & ~(continuation | lead); other != 0) {
      // A byte of another kind (a longer sequence's lead, or a bad byte) starts a character
      // unless a lead precedes it: the bytes before it are judged here, it is left to the caller.
      const int at = std::countr_zero(other);
      const uint64_t before = (uint64_t{1} << at) - 1;
      if ((continuation & before) != (expected & before) || ((expected >> at) & 1) != 0) {
        return FastCheck::Fault;
      }
      pos += static_cast<size_t>(at);
      return FastCheck::Stopped;
    }
    if (continuation != expected) return FastCheck::Fault;
    carry = lead >> 63;
    pos += kCheckBlock;
  }
  pos -= carry;
  return FastCheck::Done;
}
