// The block loop of the UTF-8 check, written once for any width of vector. utf8_check.cpp
// includes it once per instruction set, each time inside a region compiled for that set, so the
// intrinsics of the wider lanes inline into the loop. No include guard: that is the point.
//
// A block of Lanes::kWidth bytes holding only ASCII and two-byte sequences (all of a statement's
// Cyrillic) is well-formed exactly when every continuation byte follows a lead byte and every
// lead byte precedes one. A lead in the last byte carries over: the next block starts on it.
template <typename Lanes>
FastCheck check_two_byte_blocks(std::string_view bytes, size_t& pos) {
  using Mask = typename Lanes::Mask;
  constexpr size_t kWidth = Lanes::kWidth;
  static_assert(kWidth <= 8 * sizeof(Mask));
  constexpr Mask kAll = kWidth == 8 * sizeof(Mask) ? ~Mask{0} : (Mask{1} << kWidth) - 1;
  const size_t size = bytes.size();
  const auto below_c0 = Lanes::splat(-64);
  const auto above_c1 = Lanes::splat(-63);
  const auto below_e0 = Lanes::splat(-32);
  while (size - pos >= kWidth) {
    const auto v = Lanes::load(bytes.data() + pos);
    const Mask high = Lanes::high_bits(v);
    if (high == 0) {
      pos += kWidth;
      continue;
    }
    // Signed compares: continuation bytes 0x80-0xBF are below -64, two-byte leads
    // 0xC2-0xDF lie between -63 and -32 (exclusive).
    const Mask continuation = Lanes::high_bits(Lanes::below(v, below_c0));
    const Mask lead =
        Lanes::high_bits(Lanes::both(Lanes::below(above_c1, v), Lanes::below(v, below_e0)));
    if ((continuation | lead) != high) return FastCheck::Stopped;
    if (continuation != ((lead << 1) & kAll)) return FastCheck::Fault;
    pos += kWidth - (lead >> (kWidth - 1));
  }
  return FastCheck::Done;
}
