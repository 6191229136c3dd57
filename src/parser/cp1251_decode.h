// Windows-1251 to UTF-8: every byte has a character, so decoding cannot fail.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvina {

// Windows-1251 bytes as UTF-8.
std::string decode_cp1251(std::string_view bytes);

// Room that decode_cp1251_into needs for bytes: the decoded size, a little over for
// typographic marks, plus kCp1251StoreSlack.
size_t cp1251_decoded_room(std::string_view bytes);
// The exact size of the UTF-8 form of bytes, a byte at a time: for short texts, sized before
// they are decoded.
size_t cp1251_decoded_size(std::string_view bytes);
// Whole-word stores run this far past the last decoded character.
inline constexpr size_t kCp1251StoreSlack = 16;

// Decodes Windows-1251 bytes to UTF-8 at out, which has room for 3 * bytes.size() +
// kCp1251StoreSlack bytes or cp1251_decoded_room(bytes); returns the end of the text.
char* decode_cp1251_into(std::string_view bytes, char* out);

}  // namespace corvina
