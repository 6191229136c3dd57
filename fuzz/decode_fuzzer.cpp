// The decoders on arbitrary bytes, and the fast UTF-8 check against a plain reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "decode.h"
#include "tokenizer.h"

namespace {

// Byte-at-a-time well-formedness, written for clarity rather than speed.
bool reference_utf8_check(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
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
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (corvina::is_well_formed_utf8(bytes) != reference_utf8_check(bytes)) std::abort();
  auto decoded = corvina::decode_input(bytes);
  if (decoded) {
    const std::string_view text = decoded.value().text();
    // Whatever the decoder chose, the parser only ever sees well-formed UTF-8.
    if (!reference_utf8_check(text)) std::abort();
    auto tokens = corvina::read_tokens(text);
    (void)tokens;
  }
  return 0;
}
