#include "record_builder.h"

#include <cstring>

namespace corvina {

std::string missing_field_message(std::string_view key) {
  std::string message;
  message.reserve(16 + key.size());
  message.append("missing field `").append(key).append("`");
  return message;
}

}  // namespace corvina
