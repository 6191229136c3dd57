#include "record_builder.h"

#include <cstdint>
#include <cstring>

namespace corvina {

std::string missing_field_message(std::string_view key) {
  std::string message;
  message.reserve(16 + key.size());
  message.append("missing field `").append(key).append("`");
  return message;
}

bool has_byte_above_ascii(std::string_view text) {
  size_t pos = 0;
  for (; pos + 8 <= text.size(); pos += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + pos, 8);
    if ((word & 0x8080808080808080ull) != 0) return true;
  }
  for (; pos < text.size(); ++pos) {
    if (static_cast<unsigned char>(text[pos]) >= 0x80) return true;
  }
  return false;
}

}  // namespace corvina
