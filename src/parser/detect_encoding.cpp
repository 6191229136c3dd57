#include "detect_encoding.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "cp1251_decode.h"
#include "utf8_check.h"

namespace corvina {
namespace {

constexpr std::string_view kMarker = "1CClientBankExchange";
// Only this much of the text decides whether it is plausible, whatever the input size.
constexpr size_t kPlausibilityWindow = 20480;
// UTF-16 is decoded in slices of this many input bytes, each resized for its worst case.
constexpr size_t kSlice = 4096;

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

void decode_deferred(DecodedText& decoded) {
  if (!decoded.deferred) return;
  decoded.owned = decode_cp1251(decoded.borrowed);
  decoded.borrowed = std::string_view();
  decoded.deferred = false;
}

Result<DecodedText, ErrorRecord> decode_input(std::string_view bytes, Cp1251Decoding cp1251,
                                              std::optional<bool> well_formed_utf8) {
  if (bytes.empty()) return fail(ErrorRecord{EmptyInput{}});
  const auto not_statement = [] { return fail(ErrorRecord{NotStatement{}}); };

  if (well_formed_utf8 ? *well_formed_utf8 : is_well_formed_utf8(bytes)) {
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
    decoded.owned = decode_cp1251(bytes);
  }

  if (!is_plausible(decoded.owned)) return not_statement();
  if (first_line(decoded.owned) != kMarker) return not_statement();
  return decoded;
}

}  // namespace corvina
