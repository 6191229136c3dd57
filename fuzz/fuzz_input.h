// Splits one fuzzer input into the pieces a target needs, so every byte still reaches the code
// under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvina::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  // The first byte as a choice among variants (0 when the input is empty).
  uint8_t take_byte() {
    if (rest_.empty()) return 0;
    const auto byte = static_cast<uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return byte;
  }

  // Everything not yet taken.
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

}  // namespace corvina::fuzz
