#include "record_builder.h"

#include <cstring>

namespace corvina {

std::string missing_field_message(std::string_view key) {
  std::string message;
  message.reserve(16 + key.size());
  message.append("missing field `").append(key).append("`");
  return message;
}

void own_values_within(std::span<std::optional<std::string_view>> values, std::string_view text,
                       std::vector<std::unique_ptr<char[]>>& owned) {
  const auto within = [text](const std::optional<std::string_view>& value) {
    return value && !value->empty() && value->data() >= text.data() &&
           value->data() + value->size() <= text.data() + text.size();
  };
  size_t total = 0;
  for (const auto& value : values) total += within(value) ? value->size() : 0;
  if (total == 0) return;
  auto block = std::make_unique_for_overwrite<char[]>(total);
  char* out = block.get();
  for (auto& value : values) {
    if (!within(value)) continue;
    std::memcpy(out, value->data(), value->size());
    value = std::string_view(out, value->size());
    out += value->size();
  }
  owned.push_back(std::move(block));
}

}  // namespace corvina
